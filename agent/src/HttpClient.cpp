#include "agent/src/HttpClient.h"

#include <curl/curl.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "agent/src/Agent.h"

namespace lmr {
namespace {

constexpr const char* kCredentials = "kilo:mars";
constexpr long kMaxRedirects = 50;
constexpr const char* kJsonContentType = "Content-Type: application/json";
constexpr size_t kParseStackCapacity = 1024;
constexpr int kOk = 200;

std::atomic<long> connectTimeoutMs{kDefaultConnectTimeout.count()};
std::atomic<long> transferTimeoutMs{kDefaultTransferTimeout.count()};

// A JSON string's inside: quotes, backslashes and control characters escaped.
std::string escapeJson(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

// A reply text with the most bytes it may take.
struct BoundedText {
  std::string* text;
  size_t cap;
};

// Write callback that refuses the bytes past the cap: libcurl then ends the transfer.
size_t appendBounded(char* data, size_t size, size_t count, BoundedText* sink) {
  if (sink->text->size() + size * count > sink->cap) {
    return 0;
  }
  return writeToString(data, size, count, sink->text);
}

struct CurlList {
  curl_slist* list = nullptr;
  ~CurlList() { curl_slist_free_all(list); }
};

struct CurlHandle {
  CURL* handle = curl_easy_init();
  ~CurlHandle() { curl_easy_cleanup(handle); }
};

}  // namespace

void initHttpClient() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void setHttpTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds transfer) {
  connectTimeoutMs = connect.count();
  transferTimeoutMs = transfer.count();
}

size_t writeToString(char* data, size_t size, size_t count, std::string* target) {
  target->append(data, size * count);
  return size * count;
}

std::unique_ptr<HttpResult> httpPost(const char* tag, const std::string& url, const char* const* headerLines,
                                     size_t count, const char* body, long length, size_t maxReply) {
  initHttpClient();
  auto result = std::make_unique<HttpResult>();
  if (tag != nullptr) result->tag = tag;
  CurlList headers;
  for (size_t i = 0; i < count; ++i) headers.list = curl_slist_append(headers.list, headerLines[i]);
  CurlHandle curl;
  if (curl.handle == nullptr) {
    result->error = curl_easy_strerror(CURLE_FAILED_INIT);
    return result;
  }
  CURL* handle = curl.handle;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (body != nullptr) curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body);
  if (length != 0) curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, length);
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "POST");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(handle, CURLOPT_USERPWD, kCredentials);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, curl_version());
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
  BoundedText bodySink{&result->body, maxReply};
  BoundedText headerText{&result->headers, kMaxReplyHeaders};
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBounded);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &bodySink);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, appendBounded);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &headerText);
  // An announced length past the cap fails before any byte is read.
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxReply));
  // A peer that never answers must not hold the window thread; no signals from worker threads.
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs.load());
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, transferTimeoutMs.load());
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  const CURLcode code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    result->error = curl_easy_strerror(code);
  } else {
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result->code);
  }
  return result;
}

std::string getRequestBody(const std::string& path) { return "{ \"Path\": \"" + escapeJson(path) + "\"}"; }

std::string interfaceFiltersBody(const std::vector<InterfaceFilter>& filters) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartArray();
  for (const InterfaceFilter& filter : filters) {
    const QByteArray ip = filter.ip.toUtf8();
    const QByteArray mask = filter.netmask.toUtf8();
    writer.StartObject();
    writer.Key("Ip");
    writer.String(ip.constData(), static_cast<rapidjson::SizeType>(ip.size()));
    writer.Key("Mask");
    writer.String(mask.constData(), static_cast<rapidjson::SizeType>(mask.size()));
    writer.EndObject();
  }
  writer.EndArray();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::shared_ptr<Document> Agent::get(const std::string& path) {
  // A copy: no lock is held while the transfer runs.
  const std::string address = attachedAddress();
  if (address.empty()) return nullptr;
  const std::string body = getRequestBody(path);
  const char* const headers[] = {kJsonContentType};
  const auto result = httpPost(nullptr, address + "/get", headers, 1, body.c_str(), -1);
  noteApiResult(address, result->code == kOk);
  if (result->code != kOk) return nullptr;
  // The parser reads up to a zero byte; a body with one inside is not what the engine sent.
  if (result->body.find('\0') != std::string::npos) return nullptr;
  auto document = std::make_shared<Document>(nullptr, kParseStackCapacity);
  rapidjson::StringStream stream(result->body.c_str());
  if (!parseBounded(*document, stream)) return nullptr;
  return document;
}

bool Agent::setInterfaceFilters(const QStringList& ids) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ids == hardwareIds_) return false;
    hardwareIds_ = ids;
  }
  Config& config = Config::instance();
  MemoryPoolAllocator& allocator = config.allocator();
  Value& filtering = config.findOrCreate({"discovery", "filtering"});
  filtering.SetArray();
  for (const QString& id : ids) {
    Value row(rapidjson::kObjectType);
    row.AddMember("hardware_id", Value(id.toStdString(), allocator), allocator);
    filtering.PushBack(row, allocator);
  }
  config.save();

  const std::string address = attachedAddress();
  if (address.empty()) return true;
  const std::string body = interfaceFiltersBody(interfaceFilters());
  const char* const headers[] = {kJsonContentType};
  // The reply is not used: the engine applies the filter or not.
  static_cast<void>(
      httpPost(nullptr, address + "/set_interface_filters", headers, 1, body.c_str(), -1, kMaxAcknowledgeReply));
  return true;
}

}  // namespace lmr
