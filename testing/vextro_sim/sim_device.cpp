#include "testing/vextro_sim/sim_device.h"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace vextro_sim {
namespace {

constexpr uint32_t kSlotCount = 32;
constexpr const char* kSampleFreq = "CONFIG_PARAM_AUDIO_SERVER_SAMPLE_FREQ";
constexpr const char* kSetting = "SELVA_CONFIG_PARAM_SETTING";
constexpr const char* kStatusWord = "STATISTIC_PARAM_STATUS";
// Status word: bits 28..30 hold the rate index (bit 28 48 kHz family, 29 double, 30 quadruple).
constexpr uint32_t kRateBitsShift = 28;
// Setting's first number: bit 28 48 kHz family, bit 26 double, bit 27 quadruple.
constexpr uint32_t kSettingBase48 = 1U << 28;
constexpr uint32_t kSettingQuad = 1U << 27;
constexpr uint32_t kSettingDouble = 1U << 26;

uint32_t rateIndexFromSetting(const std::string& setting) {
  const uint32_t first = static_cast<uint32_t>(std::strtoul(setting.c_str(), nullptr, 10));
  const uint32_t multiple = (first & kSettingQuad) != 0 ? 4U : (first & kSettingDouble) != 0 ? 2U : 0U;
  return multiple + ((first & kSettingBase48) != 0 ? 1U : 0U);
}

std::string zeroList() {
  std::string list = "0";
  for (uint32_t i = 1; i < kSlotCount; ++i) list += "#0";
  return list;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string reasonFor(int code) {
  switch (code) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

RecordedRequest parseRequest(const std::string& raw, const std::string& localAddress) {
  RecordedRequest request;
  request.raw = raw;
  request.localAddress = localAddress;
  std::size_t lineEnd = raw.find("\r\n");
  const std::string requestLine = raw.substr(0, lineEnd);
  const std::size_t firstSpace = requestLine.find(' ');
  const std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
  if (firstSpace != std::string::npos) {
    request.path = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  }
  std::size_t begin = lineEnd == std::string::npos ? raw.size() : lineEnd + 2;
  while (begin < raw.size()) {
    const std::size_t end = raw.find("\r\n", begin);
    const std::string line = raw.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    begin = end == std::string::npos ? raw.size() : end + 2;
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    if (name == "Host" || name == "Accept" || name == "Content-Length" || name == "Connection") continue;
    request.parameters.emplace_back(name, value);
  }
  return request;
}

}  // namespace

std::string encodeValue(const std::string& value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '%' || c == '+' || c == '#') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::string decodeValue(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
      out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (value[i] == '+') {
      out += ' ';
    } else {
      out += value[i];
    }
  }
  return out;
}

bool isEncodedOnWrite(const std::string& name) {
  return endsWith(name, "_DEVICE_NAME") || endsWith(name, "_STREAM_NAME") ||
         (startsWith(name, "CONFIG_PARAM_AUDIO_CLIENT_STREAM") && endsWith(name, "_URL")) ||
         startsWith(name, "CONNECT_SAP_PARAM_");
}

SimDevice::SimDevice(SimOptions options) : options_(std::move(options)) {
  loadHealthyPreset();
  listen(options_.address, options_.port, port_);
  if (options_.secondListener) listen(options_.secondAddress, options_.secondPort, secondPort_);
}

SimDevice::~SimDevice() { stop(); }

void SimDevice::listen(const std::string& address, uint16_t requestedPort, uint16_t& boundPort) {
  std::unique_ptr<testing_support::HttpServer> server;
  try {
    server = std::make_unique<testing_support::HttpServer>(address, requestedPort);
  } catch (const boost::system::system_error& error) {
    throw std::runtime_error("sim: cannot listen on " + address + ": " + error.code().message());
  }
  server->setHandler(
      [this, address](const testing_support::RecordedRequest& request) { return serve(request, address); });
  boundPort = server->port();
  servers_.push_back(std::move(server));
}

void SimDevice::loadHealthyPreset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ParameterMap& c = config_;
  c.clear();
  c["CONFIG_PARAM_DEVICE_DEVICE_NAME"] = options_.deviceName;
  c["CONFIG_PARAM_DEVICE_HARDWARE_VERSION"] = "1.0";
  for (const char* phy : {"_PHY1", "_PHY2"}) {
    const std::string p = phy;
    c["CONFIG_PARAM_NETWORK_MAC_ADDRESS" + p] = p == "_PHY1" ? "00-1D-C1-00-00-01" : "00-1D-C1-00-00-02";
    c["CONFIG_PARAM_NETWORK_DYNAMIC_IP_ADDRESS" + p] = "1";
    c["CONFIG_PARAM_NETWORK_IP_ADDRESS" + p] = p == "_PHY1" ? options_.address : options_.secondAddress;
    c["CONFIG_PARAM_NETWORK_IP_DNS" + p] = "0.0.0.0";
    c["CONFIG_PARAM_NETWORK_SUBNET_MASK" + p] = "255.0.0.0";
    c["CONFIG_PARAM_PTP_CLOCK_DOMAIN" + p] = "0";
  }
  c["CONFIG_PARAM_PTP_CLOCK_ACCURACY"] = "254";
  c["CONFIG_PARAM_PTP_CLOCK_CLOCK_CLASS"] = "248";
  c["CONFIG_PARAM_PTP_CLOCK_PRIORITY1"] = "128";
  c["CONFIG_PARAM_PTP_CLOCK_PRIORITY2"] = "128";
  c["CONFIG_PARAM_PTP_CLOCK_SLAVE_ONLY"] = "0";
  c["CONFIG_PARAM_PTP_CLOCK_DELAY_MECHANISM"] = "0";
  c["CONFIG_PARAM_PTP_CLOCK_ANNOUNCE"] = "1";
  c["CONFIG_PARAM_PTP_CLOCK_SYNC"] = "0";
  c["CONFIG_PARAM_PTP_CLOCK_DSCP"] = "46";
  for (const char* direction : {"RX", "TX"}) {
    const std::string base = std::string("CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_MAX_CH_") + direction;
    c[base + "_1FS"] = "8";
    c[base + "_2FS"] = "8";
    c[base + "_4FS"] = "4";
  }
  c["CONFIG_PARAM_AUDIO_SERVER_SAMPLE_FREQ"] = "1";
  c["CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_SIZE"] = "256";
  c["SELVA_CONFIG_PARAM_SETTING"] = "0;7";
  for (uint32_t n = 1; n <= kSlotCount; ++n) {
    const std::string s = "CONFIG_PARAM_AUDIO_SERVER_STREAM_" + std::to_string(n);
    c[s + "_ENABLE"] = "0";
    c[s + "_STREAM_NAME"] = "";
    c[s + "_START_CH"] = "0";
    c[s + "_NUM_CH"] = "0";
    c[s + "_FORMAT"] = "1";
    c[s + "_FRAME_SIZE"] = "48";
    c[s + "_PHY_SELECTOR"] = "0";
    const std::string r = "CONFIG_PARAM_AUDIO_CLIENT_STREAM_" + std::to_string(n);
    c[r + "_ENABLE"] = "0";
    c[r + "_STREAM_NAME"] = "";
    c[r + "_START_STREAM_CH"] = "0";
    c[r + "_CHANNELS"] = "0";
    c[r + "_FORMAT"] = "1";
    c[r + "_FRAME_SIZE"] = "48";
    c[r + "_PHY_SELECTOR"] = "0";
    for (const char* phy : {"_PHY1", "_PHY2"}) {
      c[s + "_IP_ADDRESS_DST" + phy] = "0.0.0.0";
      c[s + "_RTP_DST" + phy] = "5004";
      c[s + "_RTCP_DST" + phy] = "5005";
      c[r + "_DST_IP_ADDRESS" + phy] = "0.0.0.0";
      c[r + "_RTP_DST_PORT" + phy] = "5004";
    }
  }
  ParameterMap& s = statistics_;
  s.clear();
  s["STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY1"] = options_.address;
  s["STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY2"] = options_.secondAddress;
  s["STATISTIC_PARAM_PTP_CLOCK_STATUS"] = "5";
  s["STATISTIC_PARAM_PTP_CLOCK_MASTER_CLOCK_ID"] = "00-1D-C1-FF-FE-00-00-01";
  s["STATISTIC_PARAM_PTP_CLOCK_DRIFT"] = "0";
  s["STATISTIC_PARAM_PTP_NO_PTP_DELAY_RESP_RECV"] = "0";
  s["STATISTIC_PARAM_STATUS"] = "268435456";
  for (const char* phy : {"_PHY1", "_PHY2"}) {
    s[std::string("STATISTIC_PARAM_STATUS5") + phy] = "0";
    s[std::string("STATISTIC_PARAM_STATUS6") + phy] = "0";
    s[std::string("STATISTIC_PARAM_STREAM_OUTPUT_WARNING") + phy] = "0";
    s[std::string("STATISTIC_PARAM_STREAM_OUTPUT_ERROR") + phy] = "0";
    s[std::string("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS") + phy] = zeroList();
    s[std::string("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS") + phy] = zeroList();
  }
  s["STATISTIC_PARAM_STATUS7"] = "0";
  sessions_.clear();
  sessions_["S_NUM"] = "0";
}

void SimDevice::setConfig(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_[name] = value;
}

void SimDevice::eraseConfig(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.erase(name);
}

void SimDevice::setStatistic(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  statistics_[name] = value;
}

void SimDevice::eraseStatistic(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  statistics_.erase(name);
}

ParameterMap SimDevice::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

ParameterMap SimDevice::statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statistics_;
}

void SimDevice::setSessions(const std::vector<SimSession>& sessions) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.clear();
  sessions_["S_NUM"] = std::to_string(sessions.size());
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    const SimSession& s = sessions[i];
    // Fields 1 and 2 are encoded once more inside the (page-encoded) value.
    sessions_["S_" + std::to_string(i + 1)] = encodeValue(s.name) + "#" + encodeValue(s.originating) + "#" +
                                              std::to_string(s.hash) + "#" + s.originatingSource + "#" +
                                              std::to_string(s.type) + "#" + std::to_string(s.isPhy2);
  }
}

void SimDevice::setSessionsRaw(const ParameterMap& page) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_ = page;
}

void SimDevice::setConnectScript(std::vector<int> statuses, int64_t errorNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  scriptTemplate_ = std::move(statuses);
  scriptError_ = errorNumber;
}

void SimDevice::setFault(const std::string& path, PageFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[path] = std::move(fault);
}

void SimDevice::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

std::vector<RecordedRequest> SimDevice::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t SimDevice::requestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(requests_.begin(), requests_.end(), [&](const RecordedRequest& r) { return r.path == path; }));
}

void SimDevice::clearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

bool SimDevice::waitForRequests(const std::string& path, std::size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return requestCondition_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                  [&](const RecordedRequest& r) { return r.path == path; })) >= count;
  });
}

void SimDevice::setRequestObserver(std::function<void(const RecordedRequest&)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void SimDevice::stop() {
  for (const auto& server : servers_) server->stop();
}

testing_support::ScriptedReply SimDevice::serve(const testing_support::RecordedRequest& received,
                                                const std::string& localAddress) {
  const RecordedRequest request = parseRequest(received.rawHead + "\r\n\r\n", localAddress);
  PageFault fault;
  std::function<void(const RecordedRequest&)> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    requestCondition_.notify_all();
    if (const auto found = faults_.find(request.path); found != faults_.end()) {
      if (found->second.afterRequests > 0) {
        --found->second.afterRequests;
      } else {
        fault = found->second;
      }
    }
    observer = observer_;
  }
  if (observer) observer(request);
  // A hung or dropped request has no effect on the device.
  auto reply = fault.hang                ? testing_support::ScriptedReply::stall()
               : fault.closeBeforeStatus ? testing_support::ScriptedReply::raw("")
                                         : testing_support::ScriptedReply::raw(answer(request, fault));
  return std::move(reply).after(std::chrono::milliseconds(fault.delayMs));
}

std::string SimDevice::indexPage() const {
  const auto escape = [](const std::string& text) {
    std::string out;
    for (const char c : text) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
      }
    }
    return out;
  };
  const auto table = [&](const char* title, const ParameterMap& parameters) {
    std::string html = std::string("<h2>") + title + "</h2>\n<table>\n";
    for (const auto& [name, value] : parameters) {
      html += "<tr><td>" + escape(name) + "</td><td>" + escape(value) + "</td></tr>\n";
    }
    return html + "</table>\n";
  };
  std::lock_guard<std::mutex> lock(mutex_);
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escape(options_.deviceName) +
                     " (simulated device)</title></head>\n<body>\n<h1>" + escape(options_.deviceName) +
                     " (simulated device)</h1>\n<h2>Pages</h2>\n<ul>\n"
                     "<li>GET /config.htm: configuration parameters, one header line each</li>\n"
                     "<li>GET /statistic.htm: status and statistics parameters</li>\n"
                     "<li>GET /sessions.htm: SAP sessions the device knows (S_NUM, S_1...)</li>\n"
                     "<li>GET /save.htm: writes the parameters sent as header lines</li>\n"
                     "<li>GET /connectsap.htm: connects a receiver slot to a SAP session</li>\n"
                     "<li>GET /connect.htm: accepted, no effect</li>\n</ul>\n";
  html += table("Configuration (/config.htm)", config_);
  html += table("Statistics (/statistic.htm)", statistics_);
  html += table("Sessions (/sessions.htm)", sessions_);
  return html + "</body></html>\n";
}

std::string SimDevice::answer(const RecordedRequest& request, const PageFault& fault) {
  if (request.path == "/" && fault.statusCode == 200) {
    const std::string body = indexPage();
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }
  ParameterMap parameters;
  int code = fault.statusCode;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.path == "/config.htm") {
      parameters = config_;
    } else if (request.path == "/statistic.htm") {
      advanceConnectScripts();
      parameters = statistics_;
    } else if (request.path == "/sessions.htm") {
      parameters = sessions_;
    } else if (request.path == "/save.htm") {
      if (code == 200) applySave(request);
    } else if (request.path == "/connectsap.htm") {
      if (code == 200) startConnectScript(request);
    } else if (request.path != "/connect.htm") {
      code = 404;
    }
  }
  const std::string statusLine =
      fault.rawStatusLine.empty() ? "HTTP/1.1 " + std::to_string(code) + " " + reasonFor(code) : fault.rawStatusLine;
  if (fault.closeAfterStatus) return statusLine + "\r\n";
  if (fault.noHeaders) return statusLine + "\r\n\r\n" + fault.body;
  const char* lineEnd = fault.bareLineFeeds ? "\n" : "\r\n";
  std::string response = statusLine + "\r\n";
  response += "Content-Type: text/html\r\n";
  response += "Content-Length: " + std::to_string(fault.body.size()) + "\r\n";
  response += "Connection: close\r\n";
  if (fault.dateServerHeaders) response += "Date: Tue, 08 Dec 2026 12:00:00 GMT\r\nServer: SimDevice/1.0\r\n";
  for (const std::string& line : fault.extraHeaderLines) response += line + "\r\n";
  for (std::size_t filled = 0, i = 0; filled < fault.hugeHeaderBytes; ++i) {
    const std::string line = "X_FILLER_" + std::to_string(i) + ": " + std::string(100, 'x') + "\r\n";
    response += line;
    filled += line.size();
  }
  if (code == 200) {
    for (const auto& [name, value] : parameters) response += name + ": " + encodeValue(value) + lineEnd;
  }
  // LF-only parameter lines still need a CRLF CRLF somewhere to end the block.
  if (fault.bareLineFeeds) response += "\r\n";
  response += "\r\n" + fault.body;
  return response;
}

void SimDevice::applySave(const RecordedRequest& request) {
  bool rateWritten = false;
  bool settingWritten = false;
  for (const auto& [name, raw] : request.parameters) {
    config_[name] = isEncodedOnWrite(name) ? decodeValue(raw) : raw;
    rateWritten = rateWritten || name == kSampleFreq;
    settingWritten = settingWritten || name == kSetting;
  }
  if (!rateWritten && !settingWritten) return;
  // The frequency index decides when both were written; they agree when the plug-in writes them.
  const uint32_t index = rateWritten ? static_cast<uint32_t>(std::strtoul(config_[kSampleFreq].c_str(), nullptr, 10))
                                     : rateIndexFromSetting(config_[kSetting]);
  uint32_t status = static_cast<uint32_t>(std::strtoul(statistics_[kStatusWord].c_str(), nullptr, 10));
  status = (status & ~(7U << kRateBitsShift)) | ((index & 7U) << kRateBitsShift);
  statistics_[kStatusWord] = std::to_string(status);
}

void SimDevice::startConnectScript(const RecordedRequest& request) {
  ConnectScript script;
  script.steps = scriptTemplate_;
  script.errorNumber = scriptError_;
  for (const auto& [name, raw] : request.parameters) {
    const std::string value = decodeValue(raw);
    if (name == "CONNECT_SAP_PARAM_STREAM_ID") {
      script.slot = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    }
    if (name == "CONNECT_SAP_PARAM_STREAM_ISPHY2") script.port = std::atoi(value.c_str()) != 0 ? 2 : 1;
  }
  if (script.slot < kSlotCount && !script.steps.empty()) scripts_.push_back(std::move(script));
}

void SimDevice::setListElement(const std::string& name, uint32_t index, int64_t value) {
  std::vector<std::string> fields;
  std::string& list = statistics_[name];
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = list.find('#', begin);
    fields.push_back(list.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  while (fields.size() <= index) fields.push_back("0");
  fields[index] = std::to_string(value);
  list.clear();
  for (std::size_t i = 0; i < fields.size(); ++i) list += (i == 0 ? "" : "#") + fields[i];
}

void SimDevice::advanceConnectScripts() {
  for (auto it = scripts_.begin(); it != scripts_.end();) {
    const std::string phy = "_PHY" + std::to_string(it->port);
    const int status = it->steps.front();
    setListElement("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS" + phy, it->slot, status);
    if (status == 6) {
      setListElement("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS" + phy, it->slot, it->errorNumber);
    }
    it->steps.erase(it->steps.begin());
    it = it->steps.empty() ? scripts_.erase(it) : it + 1;
  }
}

}  // namespace vextro_sim
