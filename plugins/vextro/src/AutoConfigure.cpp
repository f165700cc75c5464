// Receiver set-up on the refresh thread: a queued receiver is connected to the device's SAP
// session of its name, watched until the device reports the outcome, and switched on.
#include <chrono>

#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {
namespace {

constexpr int32_t kConnectingLow = 2;
constexpr int32_t kConnectingHigh = 4;
constexpr int32_t kConnected = 5;
constexpr int32_t kConnectFailed = 6;

const SessionEntry* FindSapSession(const std::vector<SessionEntry>& sessions, const std::string& name) {
  for (const SessionEntry& session : sessions) {
    if (session.name == name && session.type == kSapSessionType) {
      return &session;
    }
  }
  return nullptr;
}

}  // namespace

void RavennaDeviceProxy::ApplyPendingAutoConfigure(const ParameterMap& sessions, const std::string& status) {
  if (pendingAutoConfigure_.empty() || status != kStatusOk) {
    return;
  }
  const std::vector<SessionEntry> sessionList = ParseSessionList(sessions);
  for (auto entry = pendingAutoConfigure_.begin(); entry != pendingAutoConfigure_.end();) {
    if (!running_) {
      return;  // the proxy is being deleted: the rest would only delay that
    }
    const SessionEntry* session = FindSapSession(sessionList, entry->second.streamName);
    if (session == nullptr) {
      ++entry;  // the device does not know the stream yet; a later cycle looks again
      continue;
    }
    try {
      AutoConfigureReceiver(entry->first, entry->second, *session);
    } catch (const std::exception& error) {
      Log("ERROR: auto-configuring stream failed: ", error.what());
    }
    // Whatever the outcome, a request is dealt with once.
    entry = pendingAutoConfigure_.erase(entry);
  }
}

void RavennaDeviceProxy::AutoConfigureReceiver(uint32_t slot, const AutoConfigureRequest& request,
                                               const SessionEntry& session) {
  Log(">> Applying pending auto-configure request for stream: '", session.name, "'");
  SendConnectSapPage(host_, port_,
                     {{"CONNECT_SAP_PARAM_STREAM_ID", std::to_string(slot)},
                      {"CONNECT_SAP_PARAM_STREAM_NAME", session.name},
                      {"CONNECT_SAP_PARAM_STREAM_ORGINATING", session.originating},
                      {"CONNECT_SAP_PARAM_STREAM_HASH", std::to_string(session.hash)},
                      {"CONNECT_SAP_PARAM_STREAM_ORGINATING_SOURCE", session.originatingSource},
                      {"CONNECT_SAP_PARAM_STREAM_ISPHY2", std::to_string(session.isPhy2)}},
                     RequestTimeouts());
  Log("Sending SAP auto-configuration request ", " STREAM_ORGINATING: '", session.originating, "'", " STREAM_HASH: '",
      session.hash, "'", " STREAM_ORGINATING_SOURCE: '", session.originatingSource, "'");
  const std::string port = session.isPhy2 != 0 ? "2" : "1";
  // A monotonic clock: a wall-clock jump must neither cut the wait short nor stretch it.
  const auto started = std::chrono::steady_clock::now();
  while (true) {
    if (std::chrono::steady_clock::now() - started > timings_.autoConfigureLimit) {
      Log("ERROR: timeout waiting for auto-configured stream status");
      return;
    }
    ParameterMap statistics;
    FetchStatisticPage(host_, port_, statistics, RequestTimeouts());
    const std::string statusText =
        GetStringParameter(statistics, "STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY" + port, "");
    const std::string errorText =
        GetStringParameter(statistics, "STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS_PHY" + port, "");
    const std::vector<std::string> statuses = SplitFields(statusText, '#');
    const std::vector<std::string> errors = SplitFields(errorText, '#');
    if (slot >= statuses.size() || slot >= errors.size()) {
      Log("ERROR: Unexpected stream status:", statusText);
      return;
    }
    const int32_t statusValue = AtoiLike(statuses[slot]);
    const int32_t errorValue = AtoiLike(errors[slot]);
    Log("Configuration status: ", statusValue);
    if (statusValue >= kConnectingLow && statusValue <= kConnectingHigh) {
      if (!WaitUnlessStopping(timings_.autoConfigurePoll)) {
        Log("Receiver set-up stopped: the device proxy is being deleted");
        return;
      }
      continue;
    }
    if (statusValue == kConnected) {
      Log("Sucessfully auto-configured stream");
      const std::string prefix = ReceiverPrefix(slot);
      SaveParameters({{prefix + "_PHY_SELECTOR", std::to_string(portIndex_ > 0 ? portIndex_ : 0)},
                      {prefix + "_START_STREAM_CH", std::to_string(request.startChannel)},
                      {prefix + "_CHANNELS", std::to_string(request.channelCount - 1)},
                      {prefix + "_UNICAST", "0"}});
      SaveParameters({{prefix + "_ENABLE", "1"}});
      Log("New receiver stream was successfully activated");
    } else if (statusValue == kConnectFailed) {
      Log("ERROR: auto-configuration failed with error: ", errorValue);
    } else {
      Log("ERROR: Unexpected stream status code:", statusValue);
    }
    return;
  }
}

}  // namespace Vextro
