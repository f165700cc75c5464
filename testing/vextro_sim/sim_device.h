#pragma once

// A simulated network audio interface for tests and benchmarks: serves the device pages from
// mutable parameter maps on the shared test HTTP server at 127.0.0.1 (and optionally a second
// one at 127.0.0.2 as its second port), applies writes as the device does, logs every request and
// injects faults per page.
// Writes: "/save.htm" merges its parameters into the configuration and moves the sample-rate bits
// of the status word when the rate settings change; "/connectsap.htm" starts the slot's scripted
// connection status, advanced by each later statistics read. "/" answers a page that lists the
// pages and the current parameters, for a person with a browser.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "testing/http_server/http_server.h"

namespace vextro_sim {

using ParameterMap = std::map<std::string, std::string>;

// Misbehaviour of one page.
struct PageFault {
  int statusCode = 200;
  std::string rawStatusLine;                  // sent instead of the status line when set, e.g. "ICY 200 OK"
  bool closeBeforeStatus = false;             // read the request, then close without a byte
  bool closeAfterStatus = false;              // status line only, then close (no end of headers)
  bool noHeaders = false;                     // status line and the empty line, nothing else
  bool hang = false;                          // accept and never answer (until the device stops)
  int delayMs = 0;                            // wait before answering
  std::vector<std::string> extraHeaderLines;  // raw lines before the parameters (duplicates, no colon...)
  bool bareLineFeeds = false;                 // parameter lines end in LF only (the block still ends CRLF CRLF)
  std::size_t hugeHeaderBytes = 0;            // filler header lines of about this many bytes
  bool dateServerHeaders = false;             // adds Date: and Server: lines
  std::string body;
  // Requests of the page answered normally before the fault starts (1: the second one fails).
  std::size_t afterRequests = 0;
};

struct RecordedRequest {
  std::string path;
  std::vector<std::pair<std::string, std::string>> parameters;  // in wire order, raw values
  std::string raw;                                              // the whole request block
  std::string localAddress;                                     // listener that took it
};

// One SAP session the device knows (sessions page).
struct SimSession {
  std::string name;
  std::string originating;
  uint32_t hash = 0;
  std::string originatingSource;
  int type = 2;
  int isPhy2 = 0;
};

struct SimOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  bool secondListener = false;
  std::string secondAddress = "127.0.0.2";
  uint16_t secondPort = 0;
  std::string deviceName = "Sim";
};

class SimDevice {
 public:
  explicit SimDevice(SimOptions options = {});
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  [[nodiscard]] uint16_t port() const { return port_; }
  [[nodiscard]] uint16_t secondPort() const { return secondPort_; }
  [[nodiscard]] const std::string& address() const { return options_.address; }

  // The "healthy48k" pages: 48 kHz, PTP master, 8 in / 8 out, all 32+32 slots disabled.
  void loadHealthyPreset();
  void setConfig(const std::string& name, const std::string& value);
  void eraseConfig(const std::string& name);
  void setStatistic(const std::string& name, const std::string& value);
  void eraseStatistic(const std::string& name);
  [[nodiscard]] ParameterMap config() const;
  [[nodiscard]] ParameterMap statistics() const;
  void setSessions(const std::vector<SimSession>& sessions);
  // The sessions page as given (S_NUM and S_<i> values, before page encoding), for malformed lists.
  void setSessionsRaw(const ParameterMap& page);
  // Status values a "/connectsap.htm" request runs through, one step per statistics read; a
  // final 6 also sets the slot's error number.
  void setConnectScript(std::vector<int> statuses, int64_t errorNumber = 0);

  void setFault(const std::string& path, PageFault fault);
  void clearFaults();

  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  [[nodiscard]] std::size_t requestCount(const std::string& path) const;
  void clearRequests();
  // Waits until `count` requests of `path` have been received; false when `timeoutMs` passes first.
  [[nodiscard]] bool waitForRequests(const std::string& path, std::size_t count, int timeoutMs) const;
  // Called on the listener's server thread for every request, before it is answered.
  void setRequestObserver(std::function<void(const RecordedRequest&)> observer);

  // Closes the listeners and every connection (hanging answers too) and joins the server threads.
  // Idempotent.
  void stop();

 private:
  struct ConnectScript {
    uint32_t slot = 0;
    int port = 1;
    std::vector<int> steps;
    int64_t errorNumber = 0;
  };

  // A server at address:port that serves the pages; throws std::runtime_error when it cannot listen.
  void listen(const std::string& address, uint16_t requestedPort, uint16_t& boundPort);
  // On the server's thread: records the request and scripts its answer, faults included.
  testing_support::ScriptedReply serve(const testing_support::RecordedRequest& received,
                                       const std::string& localAddress);
  std::string answer(const RecordedRequest& request, const PageFault& fault);
  // "/": an HTML page naming the pages and listing the current parameters.
  [[nodiscard]] std::string indexPage() const;
  void applySave(const RecordedRequest& request);
  void startConnectScript(const RecordedRequest& request);
  void advanceConnectScripts();
  void setListElement(const std::string& name, uint32_t index, int64_t value);

  SimOptions options_;
  uint16_t port_ = 0;
  uint16_t secondPort_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable requestCondition_;
  ParameterMap config_;
  ParameterMap statistics_;
  ParameterMap sessions_;
  std::map<std::string, PageFault> faults_;
  std::vector<RecordedRequest> requests_;
  std::function<void(const RecordedRequest&)> observer_;
  std::vector<int> scriptTemplate_ = {3, 5};
  int64_t scriptError_ = 0;
  std::vector<ConnectScript> scripts_;
  // Last: stopped before the state their handlers use goes away.
  std::vector<std::unique_ptr<testing_support::HttpServer>> servers_;
};

// Percent-encodes what a device page cannot carry literally (blanks, '%', '+', '#', controls,
// bytes >= 0x80).
[[nodiscard]] std::string encodeValue(const std::string& value);
[[nodiscard]] std::string decodeValue(const std::string& value);
// Parameters whose values the plug-in URL-encodes on writes.
[[nodiscard]] bool isEncodedOnWrite(const std::string& name);

}  // namespace vextro_sim
