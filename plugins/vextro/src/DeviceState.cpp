// Top level of the device-state document: status, identity, network, web services, IO groups.
#include "plugins/vextro/src/DeviceState.h"

#include <cstdio>
#include <map>
#include <vector>

#include "plugins/vextro/src/PageClient.h"
#include "plugins/vextro/src/SlotEnables.h"

namespace Vextro {
namespace {

constexpr int64_t kCodeOk = 1;
constexpr int64_t kCodeError = 3;
constexpr int32_t kPtpStatusMaster = 5;
constexpr uint32_t kStatusBitAudioTx = 0;
constexpr uint32_t kStatusBitAudioRx = 1;
constexpr uint32_t kStatusBitPhy1Link = 2;
constexpr uint32_t kStatusBitPhy1Gigabit = 3;
constexpr uint32_t kStatusBitPhy2Link = 4;
constexpr uint32_t kStatusBitPhy2Gigabit = 5;
constexpr uint32_t kStatusBitRateQuad = 30;
constexpr uint32_t kStatusBitRateDouble = 29;
constexpr uint32_t kStatusBitBase48 = 28;
constexpr int32_t kStreamStateFailed = 6;

using ErrorMap = std::map<std::string, std::string>;

const std::map<int32_t, std::string>& PtpClockStateTexts() {
  static const std::map<int32_t, std::string> texts = {{0, "Initializing"},
                                                       {1, "Faulty"},
                                                       {2, "Disabled"},
                                                       {3, "Listening"}};
  return texts;
}

const std::map<uint32_t, std::string>& StreamErrorTexts() {
  // clang-format off
  static const std::map<uint32_t, std::string> texts = {
      {13, "SAP: SDP - Entry not found"},   {14, "SIP: Client error"},
      {15, "SIP: Server error"},            {16, "SIP: Global failure"},
      {17, "SIP: Format not acceptable"},   {18, "SAP: Unicast not supported"},
      {19, "SDP: Wrong sample frequency"},  {20, "SDP: Wrong channel Number"},
      {21, "Connection timeout"},           {22, "SDP Read Error"},
      {23, "SDP: Error in RTPMAP"},         {24, "SDP: Error in MEDIA"},
      {25, "SDP: Wrong IP connection field"}, {26, "SDP: Wrong IP owner field"},
      {27, "SDP: Incompatible format"},     {28, "Service unavailable"},
      {29, "Transfer error"},               {30, "Setup unavailable"},
      {31, "Describe unavailable"},         {61, "SDP: PTIME too small"},
      {62, "SDP: Wrong PTP-Master-Clock"},  {63, "SDP: Wrong PTP-Clock Domain"}};
  // clang-format on
  return texts;
}

bool BitSet(uint64_t word, uint32_t bit) { return ((word >> bit) & 1U) != 0; }

std::string TwoDigits(uint32_t number) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%.02u", number);
  return buffer;
}

// A receiver or sender slot counts for port q when its selector names that port or both.
bool SelectorServesPort(int32_t selector, int port) {
  return (selector == 0 && port == 0) || (selector == 1 && port == 1) || selector == 2;
}

void AddInputStreamErrors(const ParameterMap& statistics, ErrorMap& errors) {
  for (int port = 1; port <= 2; ++port) {
    const std::string suffix = std::to_string(port);
    const auto states =
        SplitFields(GetStringParameter(statistics, "STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY" + suffix, ""), '#');
    const auto codes =
        SplitFields(GetStringParameter(statistics, "STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS_PHY" + suffix, ""),
                    '#');
    for (uint32_t stream = 1; stream <= kStreamSlotCount; ++stream) {
      const int32_t state = stream <= states.size() ? AtoiLike(states[stream - 1]) : 0;
      if (state != kStreamStateFailed) {
        continue;
      }
      const uint64_t code = stream <= codes.size() ? static_cast<uint64_t>(AtollLike(codes[stream - 1])) : 0;
      std::string text = "[Unknown Error]";
      for (const auto& [bit, bitText] : StreamErrorTexts()) {
        if (BitSet(code, bit)) {
          text = bitText;
          break;
        }
      }
      errors["AUDIO_CLIENT_STREAM_" + std::to_string(stream) + "_STATUS_PHY" + suffix] =
          "Input Stream " + std::to_string(stream) + " Error: " + text + " (Port " + suffix + ")";
    }
  }
}

// Enabled slots whose port selector serves port index q (receivers or senders).
std::vector<uint32_t> SlotsServingPort(const ParameterMap& configuration, SlotEnables& enables, int q, bool receivers) {
  std::vector<uint32_t> slots;
  for (uint32_t slot = 0; slot < kStreamSlotCount; ++slot) {
    const bool enabled = receivers ? enables.Receiver(slot) : enables.Streamer(slot);
    if (!enabled) {
      continue;
    }
    const std::string prefix = receivers ? ReceiverPrefix(slot) : StreamerPrefix(slot);
    if (SelectorServesPort(GetIntParameter(configuration, prefix + "_PHY_SELECTOR", 0), q)) {
      slots.push_back(slot);
    }
  }
  return slots;
}

// Stream 1 is the most significant bit of the device's per-slot status words.
uint32_t SlotBit(uint32_t slot) { return 31 - slot; }

void AddReceiverSlotErrors(const ParameterMap& configuration, const ParameterMap& statistics, SlotEnables& enables,
                           ErrorMap& errors) {
  for (int q = 0; q <= 1; ++q) {
    const std::string port = std::to_string(q + 1);
    const uint32_t status5 = GetUIntParameter(statistics, "STATISTIC_PARAM_STATUS5_PHY" + port, 0);
    const uint32_t status6 = GetUIntParameter(statistics, "STATISTIC_PARAM_STATUS6_PHY" + port, 0);
    for (const uint32_t slot : SlotsServingPort(configuration, enables, q, true)) {
      const std::string number = TwoDigits(slot + 1);
      if (BitSet(status5, SlotBit(slot))) {
        errors["STATISTIC_PARAM_STATUS5_PHY" + port + "STREAM" + number] =
            "Input Stream " + number + ": Timestamp-Error (Port " + port + ")";
      } else if (BitSet(status6, SlotBit(slot))) {
        errors["STATISTIC_PARAM_STATUS6_PHY" + port + "STREAM" + number] =
            "Input Stream " + number + ": Not connected (Port " + port + ")";
      }
    }
  }
  const uint32_t status7 = GetUIntParameter(statistics, "STATISTIC_PARAM_STATUS7", 0);
  for (uint32_t slot = 0; slot < kStreamSlotCount; ++slot) {
    if (enables.Receiver(slot) && BitSet(status7, SlotBit(slot))) {
      const std::string number = TwoDigits(slot + 1);
      errors["STATISTIC_PARAM_STATUS7_STREAM" + number] =
          "Input Stream " + number + ": RTP timestamp out of bounds (can not be played on time)";
    }
  }
}

void AddSenderSlotErrors(const ParameterMap& configuration, const ParameterMap& statistics, SlotEnables& enables,
                         ErrorMap& errors) {
  for (int q = 0; q <= 1; ++q) {
    const std::string port = std::to_string(q + 1);
    const uint32_t warning = GetUIntParameter(statistics, "STATISTIC_PARAM_STREAM_OUTPUT_WARNING_PHY" + port, 0);
    const uint32_t error = GetUIntParameter(statistics, "STATISTIC_PARAM_STREAM_OUTPUT_ERROR_PHY" + port, 0);
    for (const uint32_t slot : SlotsServingPort(configuration, enables, q, false)) {
      const std::string number = TwoDigits(slot + 1);
      if (BitSet(warning, SlotBit(slot))) {
        errors["STATISTIC_PARAM_STREAM_OUTPUT_WARNING_PHY" + port + "_STREAM" + number] =
            "Output Stream " + number + ": Stream is redundant, but sends only on one port";
      } else if (BitSet(error, SlotBit(slot))) {
        errors["STATISTIC_PARAM_STREAM_OUTPUT_ERROR_PHY" + port + "_STREAM" + number] =
            "Output Stream " + number + ": Can't send stream. Port is not connected.";
      }
    }
  }
}

Json ErrorStatus(Json errors) { return {{"Code", kCodeError}, {"Message", "ERROR"}, {"Errors", std::move(errors)}}; }

// Built member by member: brace lists would build every channel twice, once as a list of pairs.
Json ChannelList(const std::string& groupName, uint32_t count, const char* format) {
  Json channels = Json::array();
  channels.get_ref<Json::array_t&>().reserve(count);
  for (uint32_t n = 1; n <= count; ++n) {
    char number[16];
    std::snprintf(number, sizeof number, format, n);
    Json& channel = channels.emplace_back(Json::object());
    channel["Id"] = static_cast<int64_t>(n) - 1;
    channel["Name"] = groupName + " - " + number;
    channel["Status"]["State"] = 1;
  }
  return channels;
}

}  // namespace

Json BuildStatus(const DeviceView& /*view*/, const ParameterMap& configuration, const ParameterMap& statistics) {
  SlotEnables enables(configuration);
  return BuildStatus(configuration, statistics, enables);
}

Json BuildStatus(const ParameterMap& configuration, const ParameterMap& statistics, SlotEnables& enables) {
  ErrorMap errors;
  const int32_t ptp = GetIntParameter(statistics, "STATISTIC_PARAM_PTP_CLOCK_STATUS", 0);
  if (const auto found = PtpClockStateTexts().find(ptp); found != PtpClockStateTexts().end()) {
    errors["PTP_CLOCK_STATUS"] = "PTP Clock is " + found->second;
  }
  if (GetIntParameter(statistics, "STATISTIC_PARAM_PTP_NO_PTP_DELAY_RESP_RECV", 0) == 1) {
    errors["PTP_DELAY_STATUS"] = "No PTP Delay or PDelay response received";
  }
  const uint32_t status = GetUIntParameter(statistics, "STATISTIC_PARAM_STATUS", 0);
  if (BitSet(status, kStatusBitAudioTx)) {
    errors["STATISTIC_PARAM_STATUS_AUDIO-TX"] = "Audio-TX Error";
  }
  if (BitSet(status, kStatusBitAudioRx)) {
    errors["STATISTIC_PARAM_STATUS_AUDIO-RX"] = "Audio-RX Error";
  }
  if (BitSet(status, kStatusBitPhy1Link) && !BitSet(status, kStatusBitPhy1Gigabit)) {
    errors["STATISTIC_PARAM_STATUS_PHY1"] = "PHY1 link speed is 100 MBit/s (should be 1 GBit/s) ";
  }
  if (BitSet(status, kStatusBitPhy2Link) && !BitSet(status, kStatusBitPhy2Gigabit)) {
    errors["STATISTIC_PARAM_STATUS_PHY2"] = "PHY2 link speed is 100 MBit/s (should be 1 GBit/s) ";
  }
  AddInputStreamErrors(statistics, errors);
  AddReceiverSlotErrors(configuration, statistics, enables, errors);
  AddSenderSlotErrors(configuration, statistics, enables, errors);
  if (errors.empty()) {
    return {{"Code", kCodeOk}, {"Message", "OK"}, {"Errors", Json::object()}};
  }
  Json errorObject = Json::object();
  for (const auto& [key, text] : errors) {
    errorObject[key] = text;
  }
  return ErrorStatus(std::move(errorObject));
}

Json BuildIdentity(const DeviceView& view, const ParameterMap& configuration) {
  Json identity = Json::object();
  identity["Company"] = view.config->GetCompany();
  identity["Product"] = view.config->GetProductName();
  identity["Serial"] =
      GetStringParameter(configuration, PortParameterName(view.portIndex, "CONFIG_PARAM_NETWORK_MAC_ADDRESS"), "n/a");
  identity["Version"] = GetStringParameter(configuration, "CONFIG_PARAM_DEVICE_HARDWARE_VERSION", "0.0");
  identity["Name"] = view.deviceName;
  return identity;
}

Json BuildNetwork(const DeviceView& view, const ParameterMap& configuration, const ParameterMap& statistics) {
  Json interface = {{"Id", 0}, {"Name", "eth0"}, {"Config", 1}};
  const int32_t dynamic =
      GetIntParameter(configuration, PortParameterName(view.portIndex, "CONFIG_PARAM_NETWORK_DYNAMIC_IP_ADDRESS"), 1);
  if (dynamic != 0) {
    interface["Address"] = view.host;
    interface["Gateway"] = "0.0.0.0";
    interface["Netmask"] = DefaultNetmaskForAddress(view.host);
  } else {
    interface["Address"] =
        GetStringParameter(configuration, PortParameterName(view.portIndex, "CONFIG_PARAM_NETWORK_IP_ADDRESS"),
                           "0.0.0.0");
    interface["Gateway"] =
        GetStringParameter(configuration, PortParameterName(view.portIndex, "CONFIG_PARAM_NETWORK_IP_DNS"), "0.0.0.0");
    interface["Netmask"] =
        GetStringParameter(configuration, PortParameterName(view.portIndex, "CONFIG_PARAM_NETWORK_SUBNET_MASK"),
                           "255.255.255.0");
  }
  const auto integer = [&](const std::string& name) {
    return static_cast<int64_t>(GetIntParameter(configuration, name, 0));
  };
  const auto masterClock = [&] {
    return GetStringParameter(statistics, "STATISTIC_PARAM_PTP_CLOCK_MASTER_CLOCK_ID", "00-00-00-00-00-00-00");
  };
  Json master = Json::object();
  master["Accuracy"] = integer("CONFIG_PARAM_PTP_CLOCK_ACCURACY");
  master["Class"] = integer("CONFIG_PARAM_PTP_CLOCK_CLOCK_CLASS");
  master["Prio1"] = integer("CONFIG_PARAM_PTP_CLOCK_PRIORITY1");
  master["Prio2"] = integer("CONFIG_PARAM_PTP_CLOCK_PRIORITY2");
  master["GMID"] = masterClock();
  master["SlaveOnly"] = integer("CONFIG_PARAM_PTP_CLOCK_SLAVE_ONLY") == 1;
  master["DelayMechanism"] = integer("CONFIG_PARAM_PTP_CLOCK_DELAY_MECHANISM");
  master["Announce"] = integer("CONFIG_PARAM_PTP_CLOCK_ANNOUNCE");
  master["Sync"] = integer("CONFIG_PARAM_PTP_CLOCK_SYNC");
  Json ptpStatus = Json::object();
  ptpStatus["IsMaster"] = GetIntParameter(statistics, "STATISTIC_PARAM_PTP_CLOCK_STATUS", 0) == kPtpStatusMaster;
  ptpStatus["GMID"] = masterClock();
  ptpStatus["Jitter"] = static_cast<int64_t>(GetIntParameter(statistics, "STATISTIC_PARAM_PTP_CLOCK_DRIFT", 0));
  Json ptp = Json::object();
  ptp["Master"] = std::move(master);
  ptp["Status"] = std::move(ptpStatus);
  ptp["Domain"] = integer(PortParameterName(view.portIndex, "CONFIG_PARAM_PTP_CLOCK_DOMAIN"));
  ptp["DSCP"] = integer("CONFIG_PARAM_PTP_CLOCK_DSCP");
  Json network = Json::object();
  network["HostName"] = "";
  network["Interfaces"] = Json::array({std::move(interface)});
  network["Services"] = {{"PTP", std::move(ptp)}};
  return network;
}

Json BuildWebServices(const DeviceView& view) {
  return Json::array(
      {{{"Name", "Web Control Panel"}, {"URL", "http://" + view.host + ":" + std::to_string(view.port)}}});
}

Json BuildIOGroup(const std::string& name, int64_t id, uint32_t inputCount, uint32_t outputCount, int32_t sampleRate,
                  const Json& sampleRates, const Json& codecs) {
  const char* format = inputCount < 100 ? "%.02u" : "%.03u";
  Json group = Json::object();
  group["Name"] = name;
  group["Id"] = id;
  group["Inputs"] = ChannelList(name, inputCount, format);
  group["Outputs"] = ChannelList(name, outputCount, format);
  Json& status = group["Status"];
  status["SampleRate"] = sampleRate;
  status["Codecs"] = codecs;
  status["ReceiverMapping"] = "contiguous";
  status["SenderMapping"] = "contiguous";
  Json& capabilities = group["Capabilities"];
  capabilities["SampleRates"] = sampleRates;
  capabilities["Codecs"] = codecs;
  capabilities["InternalRouting"] = "no";
  return group;
}

Json BuildIOGroups(const DeviceView& view, const ParameterMap& configuration, const ParameterMap& statistics) {
  const uint32_t status = GetUIntParameter(statistics, "STATISTIC_PARAM_STATUS", 0);
  const int32_t rate =
      SampleRateFromBits(BitSet(status, kStatusBitRateQuad) ? 1 : 0, BitSet(status, kStatusBitRateDouble) ? 1 : 0,
                         BitSet(status, kStatusBitBase48) ? 1 : 0);
  const int factor = (rate == 176400 || rate == 192000) ? 4 : (rate == 88200 || rate == 96000) ? 2 : 1;
  const std::string suffix = "_" + std::to_string(factor) + "FS";
  const uint32_t rx =
      GetUIntParameter(configuration, "CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_MAX_CH_RX" + suffix, 0);
  const uint32_t tx =
      GetUIntParameter(configuration, "CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_MAX_CH_TX" + suffix, 0);
  const auto maxChannels = static_cast<uint32_t>(view.config->GetMaxChannels());
  const Json sampleRates = Json::array({44100, 48000, 88200, 96000, 176400, 192000});
  const Json codecs = Json::array({"L16", "L24", "L32", "AM824"});
  return Json::array(
      {BuildIOGroup("NET", 0, std::min(rx, maxChannels), std::min(tx, maxChannels), rate, sampleRates, codecs)});
}

Json BuildDeviceState(const DeviceView& view, const ParameterMap& configuration, const ParameterMap& statistics,
                      const std::string& status) {
  Json state = Json::object();
  if (status != kStatusOk) {
    state["Status"] = ErrorStatus({{"Network", status}});
    return state;
  }
  if (view.isRedundant) {
    state["Status"] = ErrorStatus({{"Redundant Device", "Another instance of this device already is present"}});
    return state;
  }
  state["Actions"] = {{"CreateStreamer", Json::object()},
                      {"DeleteStreamer", Json::object()},
                      {"CreateReceiver", Json::object()},
                      {"DeleteReceiver", Json::object()},
                      {"SetSampleRate", Json::object()}};
  state["Id"] = static_cast<uint64_t>(view.id);
  SlotEnables enables(configuration);
  state["Status"] = BuildStatus(configuration, statistics, enables);
  state["Identity"] = BuildIdentity(view, configuration);
  state["Network"] = BuildNetwork(view, configuration, statistics);
  state["WebServices"] = BuildWebServices(view);
  state["IOGroups"] = BuildIOGroups(view, configuration, statistics);
  state["Streamers"] = BuildStreamers(view, configuration, enables);
  state["Receivers"] = BuildReceivers(view, configuration, enables);
  return state;
}

}  // namespace Vextro
