// The HTTP server over real sockets on 127.0.0.1 (other hosts play from 127.0.0.2 and up): limits,
// timeouts, the connection cap and each host's share of it, interim answers, kept-alive
// connections and deferred work, with a batch of hostile requests that must not stop it from
// answering.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../src/ApiRouter.h"
#include "../src/HttpServer.h"
#include "../src/StateDocument.h"
#include "../src/WorkQueue.h"
#include "HttpTestClient.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

using engine_test::RawConnection;
using engine_test::RawResponse;
using namespace std::chrono_literals;

namespace {

// Other hosts, all on lo.
std::vector<std::string> loopbackHosts(int first, int last) {
  std::vector<std::string> hosts;
  for (int host = first; host <= last; ++host) hosts.push_back("127.0.0." + std::to_string(host));
  return hosts;
}

class EngineHttp : public ::testing::Test {
 protected:
  void startServer(tvsk::HttpServerOptions options) {
    tvsk::ApiHooks hooks;
    hooks.replaceInterfaceFilters = [this](const std::vector<tvsk::InterfaceFilter>& filters) {
      state_.setInterfaceFilters(filters);
    };
    hooks.deviceAction = [this](uint32_t id, tvsk::DeviceActionRequest request) {
      if (id != 1 && id != 99) return tvsk::ActionAdmission::UnknownDevice;
      ++deferred_;
      worker_.post([this, id, request = std::move(request)] {
        if (request.abandoned()) return;
        ++actionsRun_;
        if (id == 99) std::this_thread::sleep_for(slowAction_);
        request.done(0);
      });
      return tvsk::ActionAdmission::Queued;
    };
    hooks.webAppIndexPath = webAppIndexPath_;
    router_.emplace(state_, hooks);
    server_ = std::make_unique<tvsk::HttpServer>(*router_, options);
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
    port_ = server_->port();
  }

  void TearDown() override {
    // As the engine does: the server stops before the worker drops what it still holds.
    if (server_) server_->stop();
    worker_.stop();
    server_.reset();
  }

  [[nodiscard]] bool answersNormally() const {
    const RawResponse response = engine_test::post(port_, "/get", R"({"Path":"$.Config.Role"})");
    return response.status == 200 && response.body == "0";
  }

  // How many of `asked` requests `ask` gets answered, with the engine's own limits and timings,
  // while `mix` from the hosts 127.0.0.2 to .9 keeps the server full and turning connections over.
  int answeredBesideSlowHosts(engine_test::SlowMix mix, int asked, const std::function<bool()>& ask) {
    tvsk::HttpServerOptions options;
    options.address = "127.0.0.1";
    startServer(options);
    mix.sources = loopbackHosts(2, 9);
    engine_test::SlowClients slow(port_, mix);
    if (!testing_support::waitUntil([&] { return slow.closedByServer() > 200; }, 10s)) {
      ADD_FAILURE() << "the slow hosts never filled the server";
      return 0;
    }
    int answered = 0;
    for (int i = 0; i < asked; ++i) {
      if (ask()) ++answered;
    }
    slow.stop();
    std::printf("normal client: %d of %d answered; the server closed %d slow connections\n", answered, asked,
                slow.closedByServer());
    return answered;
  }

  static tvsk::HttpServerOptions quickOptions() {
    tvsk::HttpServerOptions options;
    options.address = "127.0.0.1";
    options.headerTimeout = 400ms;
    options.readTimeout = 400ms;
    options.idleTimeout = 400ms;
    options.writeTimeout = 2000ms;
    options.processingTimeout = 300ms;
    return options;
  }

  tvsk::StateDocument state_;
  std::optional<tvsk::ApiRouter> router_;
  std::unique_ptr<tvsk::HttpServer> server_;
  tvsk::WorkQueue worker_;
  std::chrono::milliseconds slowAction_{600};
  std::atomic<int> actionsRun_{0};
  std::string webAppIndexPath_;
  std::atomic<int> deferred_{0};  // requests whose work went to the worker
  uint16_t port_ = 0;
};

RawResponse roundTrip(uint16_t port, const std::string& request) {
  RawConnection connection(port);
  connection.send(request);
  return connection.read();
}

}  // namespace

TEST_F(EngineHttp, MalformedOversizedAndSlowRequestsAreRefusedWhileTheServerKeepsAnswering) {
  startServer(quickOptions());
  // Two slow clients hold connections open meanwhile: one sends half a request line, the other a
  // header byte every 100 ms.
  RawConnection stalled(port_);
  stalled.send("POST /get HTTP/1.1\r\n");
  RawConnection dribbling(port_);
  const auto slowStart = std::chrono::steady_clock::now();
  std::atomic<bool> dribbleClosed{false};
  std::thread dribbler([&] {
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(50, 'a');
    for (char c : request) {
      if (!dribbling.send(std::string(1, c))) break;
      std::this_thread::sleep_for(100ms);
      if (std::chrono::steady_clock::now() - slowStart > 3s) break;
    }
    dribbleClosed = dribbling.closedWithin(3s);
  });

  EXPECT_EQ(roundTrip(port_, "GARBAGE\r\n\r\n").status, 400);
  EXPECT_EQ(roundTrip(port_, "GET / HTTP/9.9\r\n\r\n").status, 400);
  EXPECT_EQ(roundTrip(port_, "POST /get HTTP/1.1\r\nContent-Length: abc\r\n\r\n").status, 400);
  const RawResponse hugeHeader =
      roundTrip(port_, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(70 * 1024, 'x') + "\r\n\r\n");
  EXPECT_EQ(hugeHeader.status, 431);
  const RawResponse announcedHuge =
      roundTrip(port_,
                "POST /get HTTP/1.1\r\nAuthorization: Basic a2lsbzptYXJz\r\nContent-Length: 2000000\r\n\r\n{\"Path\":");
  EXPECT_EQ(announcedHuge.status, 413);
  const std::size_t chunk = 1100 * 1024;
  char size[32];
  std::snprintf(size, sizeof size, "%zx", chunk);
  const RawResponse chunkedHuge =
      roundTrip(port_, "POST /get HTTP/1.1\r\nAuthorization: Basic a2lsbzptYXJz\r\nTransfer-Encoding: chunked\r\n\r\n" +
                           std::string(size) + "\r\n" + std::string(chunk, ' ') + "\r\n0\r\n\r\n");
  EXPECT_EQ(chunkedHuge.status, 413);
  EXPECT_EQ(engine_test::post(port_, "/get", "{\"Path\":").status, 400);
  EXPECT_EQ(engine_test::post(port_, "/get", R"({"Path":"$.Nope"})").status, 404);
  EXPECT_EQ(engine_test::post(port_, "/set_interface_filters", R"([{"Ip":"1.2.3.4"}])").status, 400);
  EXPECT_EQ(engine_test::post(port_, "/action", R"({"Id":1,"Actions":[]})", false).status, 401);
  EXPECT_TRUE(answersNormally());

  // The stalled request is cut at the read timeout, not before and not much later.
  EXPECT_TRUE(stalled.closedWithin(2s));
  const auto stalledFor = std::chrono::steady_clock::now() - slowStart;
  EXPECT_GE(stalledFor, 350ms);
  dribbler.join();
  EXPECT_TRUE(dribbleClosed);
  EXPECT_LT(std::chrono::steady_clock::now() - slowStart, 3s);  // a trickle does not extend the deadline
  EXPECT_TRUE(answersNormally());
}

TEST_F(EngineHttp, ExpectContinueGetsTheInterimAnswerBeforeTheBody) {
  startServer(quickOptions());
  RawConnection connection(port_);
  const std::string body = R"({"Path":"$.Config.Role"})";
  connection.send(
      "POST /get HTTP/1.1\r\nHost: x\r\nAuthorization: Basic a2lsbzptYXJz\r\nExpect: 100-continue\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n");
  const RawResponse interim = connection.read(2s);
  EXPECT_EQ(interim.status, 100);
  connection.send(body);
  const RawResponse response = connection.read(2s);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "0");
}

TEST_F(EngineHttp, KeptAliveConnectionsServeSeveralRequestsAndCloseWhenIdle) {
  startServer(quickOptions());
  RawConnection connection(port_);
  const std::string body = R"({"Path":"$.Config.Role"})";
  const std::string request = "POST /get HTTP/1.1\r\nHost: x\r\nAuthorization: Basic a2lsbzptYXJz\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  // Two requests in one write, then a third after the answers.
  connection.send(request + request);
  EXPECT_EQ(connection.read(2s).status, 200);
  EXPECT_EQ(connection.read(2s).status, 200);
  connection.send("GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n");
  const RawResponse missing = connection.read(2s);
  EXPECT_EQ(missing.status, 404);
  EXPECT_FALSE(missing.closed);
  EXPECT_TRUE(connection.closedWithin(2s));
}

TEST_F(EngineHttp, AtTheCapIdleThenSlowConnectionsGiveWayAndBusyOnesGet503WithRetryAfter) {
  tvsk::HttpServerOptions options = quickOptions();
  options.headerTimeout = 5s;
  options.readTimeout = 5s;
  options.idleTimeout = 5s;
  options.processingTimeout = 3s;
  options.maxConnections = 3;
  startServer(options);
  const std::string body = R"({"Path":"$.Config.Role"})";
  const std::string request = "POST /get HTTP/1.1\r\nHost: x\r\nAuthorization: Basic a2lsbzptYXJz\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  RawConnection slowOld(port_);  // silent: the slot stays taken
  std::this_thread::sleep_for(50ms);
  RawConnection slowNew(port_);
  slowNew.send("GET / HTTP/1.1\r\n");
  std::this_thread::sleep_for(50ms);
  RawConnection idle(port_);
  idle.send(request);
  ASSERT_EQ(idle.read(2s).status, 200);  // kept alive, now waiting for its next request

  // Full: the idle connection gives way first, then the one that sent least, the oldest first.
  EXPECT_TRUE(answersNormally());
  EXPECT_TRUE(idle.closedWithin(1s));
  RawConnection slowLast(port_);
  slowLast.send("GET / HTTP/1.1\r\n");
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(answersNormally());
  EXPECT_TRUE(slowOld.closedWithin(1s));
  EXPECT_FALSE(slowNew.closedWithin(100ms));

  // Every slot busy with deferred work: a new client is told to come back.
  slowAction_ = 700ms;  // the three run one after the other on the worker
  std::vector<std::thread> busy;
  std::atomic<int> busyAnswered{0};
  for (int i = 0; i < 3; ++i) {
    busy.emplace_back([&] {
      if (engine_test::post(port_, "/action", R"({"Id":99,"Actions":[]})").status == 200) ++busyAnswered;
    });
  }
  ASSERT_TRUE(testing_support::waitUntil([&] { return deferred_ == 3; }, 5s));
  const RawResponse refused = engine_test::post(port_, "/get", body);
  EXPECT_EQ(refused.status, 503) << refused.head;
  EXPECT_EQ(refused.header("Retry-After"), "1");
  for (auto& thread : busy) thread.join();
  EXPECT_EQ(busyAnswered, 3);
  EXPECT_TRUE(testing_support::waitUntil([&] { return answersNormally(); }, 2s, 20ms));
}

TEST_F(EngineHttp, ANormalClientIsAnsweredWhileSixHundredSlowConnectionsAreHeld) {
  engine_test::SlowMix mix;
  mix.slowHeaders = 300;
  mix.slowBodies = 300;
  constexpr int kAsked = 30;
  EXPECT_EQ(answeredBesideSlowHosts(mix, kAsked,
                                    [&] {
                                      const bool answered = answersNormally();
                                      std::this_thread::sleep_for(50ms);
                                      return answered;
                                    }),
            kAsked);
}

namespace {

// A normal client on a slow link or a browser: the header in one write, the body in another.
RawResponse postInTwoWrites(uint16_t port, const std::string& body, std::chrono::milliseconds gap) {
  RawConnection connection(port);
  connection.send("POST /get HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic a2lsbzptYXJz\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
  std::this_thread::sleep_for(gap);
  connection.send(body);
  return connection.read();
}

}  // namespace

TEST_F(EngineHttp, AClientSendingHeaderAndBodyApartIsAnsweredWhileSlowAndSilentHostsChurnConnections) {
  engine_test::SlowMix mix;
  mix.slowHeaders = 300;
  mix.silent = 300;
  constexpr int kAsked = 30;
  const int answered = answeredBesideSlowHosts(mix, kAsked, [&] {
    const RawResponse response = postInTwoWrites(port_, R"({"Path":"$.Config.Role"})", 100ms);
    return response.status == 200 && response.body == "0";
  });
  EXPECT_GE(answered * 100, kAsked * 99);
}

TEST_F(EngineHttp, ReadersThatStopReadingALargePageAreCutOffAndDoNotDenyOtherClients) {
  // A page as large as the status page of a network with thousands of streams. Served from a file,
  // so what is measured is the connections, not the rendering of the page for every reader.
  testing_support::TempDir folder;
  webAppIndexPath_ = folder.path() + "/index.html";
  std::string page = "<!DOCTYPE html><html><body><table>";
  for (int row = 0; page.size() < 768 * 1024; ++row) {
    page += "<tr><td>Studio stream number " + std::to_string(row) + "</td><td>239.1.2.3:5004</td><td>L24</td></tr>";
  }
  testing_support::writeFile(webAppIndexPath_, page + "</table></body></html>");
  tvsk::HttpServerOptions options;  // the engine's own limits and timings
  options.address = "127.0.0.1";
  startServer(options);
  const std::size_t pageSize = engine_test::get(port_, "/").body.size();
  ASSERT_GE(pageSize, 768u * 1024);

  {
    // Alone, a reader that accepts nothing is cut off after the stall timeout, not the write timeout.
    const auto start = std::chrono::steady_clock::now();
    engine_test::SlowMix one;
    one.stalledReaders = 1;
    one.byteInterval = 20ms;
    engine_test::SlowClients reader(port_, one);
    EXPECT_TRUE(testing_support::waitUntil([&] { return reader.closedByServer() >= 1; }, options.writeTimeout));
    const auto cutAfter = std::chrono::steady_clock::now() - start;
    EXPECT_GE(cutAfter, options.writeStallTimeout - 100ms);
    EXPECT_LT(cutAfter, options.writeTimeout - 2s);
  }

  // Sixty-four of them from eight hosts, opening again whenever they are cut off: each new client
  // takes the place of one of them.
  engine_test::SlowMix mix;
  mix.stalledReaders = 64;
  mix.sources = loopbackHosts(2, 9);
  mix.byteInterval = 20ms;
  engine_test::SlowClients readers(port_, mix);
  ASSERT_TRUE(testing_support::waitUntil([&] { return readers.requestsSent() >= 64; }, 5s));
  constexpr int kAsked = 30;
  int answered = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kAsked; ++i) {
    if (answersNormally()) ++answered;
    std::this_thread::sleep_for(50ms);
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  readers.stop();
  std::printf("normal client beside 64 stalled readers: %d of %d answered in %lld ms; %d readers cut off\n", answered,
              kAsked, static_cast<long long>(took.count()), readers.closedByServer());
  EXPECT_GE(answered * 100, kAsked * 99);
  EXPECT_GT(readers.closedByServer(), 0);
}

TEST_F(EngineHttp, AHostPastItsShareGivesWayFromItsOwnConnectionsOrIsToldToComeBack) {
  tvsk::HttpServerOptions options = quickOptions();
  options.headerTimeout = 5s;
  options.readTimeout = 5s;
  options.processingTimeout = 5s;
  options.maxConnections = 8;
  options.maxConnectionsPerPeer = 2;
  startServer(options);
  const std::string hostA = "127.0.0.2";
  const std::string hostB = "127.0.0.3";
  const std::string body = R"({"Path":"$.Config.Role"})";
  RawConnection silentA(port_, hostA);
  RawConnection silentB(port_, hostB);
  RawConnection laterSilentA(port_, hostA);

  // Host A's third connection takes the slot of A's own oldest, though the server has room.
  EXPECT_EQ(engine_test::post(port_, "/get", body, true, hostA).status, 200);
  EXPECT_TRUE(silentA.closedWithin(1s));
  EXPECT_FALSE(laterSilentA.closedWithin(100ms));
  EXPECT_FALSE(silentB.closedWithin(100ms));

  // Both of A's slots held by work being handled: A is told to come back, B is still answered.
  slowAction_ = 1500ms;
  std::vector<std::thread> actions;
  std::atomic<int> actionsAnswered{0};
  for (int i = 0; i < 2; ++i) {
    actions.emplace_back([&] {
      if (engine_test::post(port_, "/action", R"({"Id":99,"Actions":[]})", true, hostA).status == 200)
        ++actionsAnswered;
    });
  }
  ASSERT_TRUE(testing_support::waitUntil([&] { return deferred_ == 2; }, 5s));
  const RawResponse refused = engine_test::post(port_, "/get", body, true, hostA);
  EXPECT_EQ(refused.status, 503) << refused.head;
  EXPECT_EQ(refused.header("Retry-After"), "1");
  EXPECT_EQ(engine_test::post(port_, "/get", body, true, hostB).status, 200);
  for (auto& action : actions) action.join();
  EXPECT_EQ(actionsAnswered, 2);
  EXPECT_TRUE(laterSilentA.closedWithin(1s));
  EXPECT_FALSE(silentB.closedWithin(100ms));
}

TEST_F(EngineHttp, DeferredWorkAnswersItsResultOrTimesOutWith504) {
  startServer(quickOptions());
  RawResponse response = engine_test::post(port_, "/action", R"({"Id":1,"Actions":[]})");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, R"({"Result":0})");
  EXPECT_EQ(engine_test::post(port_, "/action", R"({"Id":2,"Actions":[]})").status, 404);

  const auto start = std::chrono::steady_clock::now();
  response = engine_test::post(port_, "/action", R"({"Id":99,"Actions":[]})");
  EXPECT_EQ(response.status, 504);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 550ms);
  // The late result is dropped; the server and the worker go on.
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(engine_test::post(port_, "/action", R"({"Id":1,"Actions":[]})").status, 200);

  // Work still waiting when its client had the 504 never runs.
  slowAction_ = 2000ms;  // the clients' 504s all come while the first list runs
  const int runBefore = actionsRun_;
  std::vector<std::thread> clients;
  std::atomic<int> timedOut{0};
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back([&] {
      if (engine_test::post(port_, "/action", R"({"Id":99,"Actions":[]})").status == 504) ++timedOut;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(timedOut, 3);
  ASSERT_TRUE(worker_.runAndWait([] {}));
  EXPECT_EQ(actionsRun_ - runBefore, 1) << "only the list that had begun ran";
}

TEST_F(EngineHttp, ParallelClientsReadAndReplaceFiltersConsistently) {
  startServer(quickOptions());
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 6; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < 15; ++i) {
        const std::string ip = "10.0." + std::to_string(c) + "." + std::to_string(i + 1);
        if (engine_test::post(port_, "/set_interface_filters", R"([{"Ip":")" + ip + R"(","Mask":"255.0.0.0"}])")
                    .status != 200 ||
            engine_test::post(port_, "/get", R"({"Path":"$.Config.InterfaceFilters[0].Mask"})").body !=
                "\"255.0.0.0\"" ||
            engine_test::get(port_, "/").status != 200) {
          ++failures;
        }
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(failures, 0);
}

namespace {

// Resident set of this process (server and clients), in MiB.
long residentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) / 1024;
  }
  return -1;
}

std::string chunkedGet(const std::string& trailer) {
  const std::string body = R"({"Path":"$.Config.Role"})";
  char size[16];
  std::snprintf(size, sizeof size, "%zx", body.size());
  return "POST /get HTTP/1.1\r\nHost: x\r\nAuthorization: Basic a2lsbzptYXJz\r\nTransfer-Encoding: chunked\r\n\r\n" +
         std::string(size) + "\r\n" + body + "\r\n0\r\n" + trailer + "\r\n";
}

}  // namespace

TEST_F(EngineHttp, ChunkedTrailersShareTheHeaderLimitAndABadOneNeverStopsTheServer) {
  // A header limit above Beast's largest field value, so the parser itself throws on the trailer.
  tvsk::HttpServerOptions options = quickOptions();
  options.headerLimit = 256 * 1024;
  options.readTimeout = 5s;
  startServer(options);
  EXPECT_EQ(roundTrip(port_, chunkedGet("X-Check: 1\r\n")).body, "0");  // a trailer is fine
  for (int i = 0; i < 2; ++i) {
    const RawResponse huge = roundTrip(port_, chunkedGet("X-Big: " + std::string(70000, 'a') + "\r\n"));
    EXPECT_EQ(huge.status, 400);
    EXPECT_TRUE(answersNormally());
  }
  // Header and trailer together over the limit.
  std::string trailer;
  for (char name = 'A'; name < 'F'; ++name)
    trailer += std::string("X-") + name + ": " + std::string(55000, name) + "\r\n";
  EXPECT_EQ(roundTrip(port_, chunkedGet(trailer)).status, 431);

  // An endless trailer on four connections: past the limit the server answers and drops the rest.
  // The senders are ready before the first measure, so only what the server keeps counts.
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<long> sentMiB{0};
  std::vector<std::thread> senders;
  for (int c = 0; c < 4; ++c) {
    senders.emplace_back([&] {
      RawConnection connection(port_);
      std::string start = chunkedGet("");
      start.resize(start.size() - 2);  // the trailer never ends
      const std::string mebibyte(1024 * 1024, 'e');
      ++ready;
      while (!go) std::this_thread::sleep_for(1ms);
      connection.send(start + "X-Endless: ");
      for (int i = 0; i < 100 && connection.send(mebibyte); ++i) ++sentMiB;
    });
  }
  ASSERT_TRUE(testing_support::waitUntil([&] { return ready == 4; }, 5s));
  const long before = residentMiB();
  go = true;
  for (auto& sender : senders) sender.join();
  const long grown = residentMiB() - before;
  std::printf("endless trailers: %ld MiB sent, resident set grew %ld MiB\n", sentMiB.load(), grown);
  // A small part of the 400 MiB sent (an ASan build keeps freed blocks for a while: tens of MiB).
  EXPECT_LT(grown, 100);
  EXPECT_TRUE(answersNormally());
}
