// POST /get with the path "$" per second, answered by the engine's HTTP server and by a plain
// Boost.Beast server (one I/O thread, kept-alive connections) that sends the same bytes, with
// several kept-alive clients; prints both rates, their median latencies and the ratio of the rates.
// Static cases: 10, 1,000 and 10,000 streams and 1,000 devices that never change. Changing cases: a thread changes one
// stream or device after another at a fixed rate while the clients ask (1,000 streams at
// 100 changes/s, 10,000 streams at 10/s, 1,000 devices at 10/s); a change keeps the document's
// size, so both servers send as many bytes. The two servers are measured in turn, three rounds
// each, and the medians compared, so a busy machine weighs on both alike; the range of the
// rounds' own ratios is printed beside.
//   engine_get [--seconds S] [--clients N] [--cases TEXT]
// S: time per round; TEXT: run only the cases whose name holds it ("static", "changes", "10,000").
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "engine/src/ApiRouter.h"
#include "engine/src/HttpServer.h"
#include "engine/src/StateDocument.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 3;
constexpr int kReceiversPerDevice = 8;

// A device's state as the device plug-in reports it, with nested groups, streamers and receivers.
// `revision` (0-9) changes one receiver's state and never the text's length.
tvsk::Json deviceState(uint32_t id, int revision) {
  const std::string n = std::to_string(id);
  tvsk::Json state =
      tvsk::Json::parse(R"({"Identity":{"Name":"Box )" + n + R"(","Product":"CANTOR","Serial":"VX-)" + n +
                        R"("},"Network":{"Interfaces":[{"Address":"10.0.)" + std::to_string(id / 250) + "." +
                        std::to_string(id % 250 + 1) +
                        R"(","Mask":"255.255.0.0","Mac":"00:1d:c1:00:00:01"}]},)"
                        R"("IOGroups":[{"Name":"Main","Status":{"SampleRate":48000,"Locked":true}}],)"
                        R"("Status":{"Code":1,"Message":"OK","Errors":{}},"Streamers":[{"Id":0,"StreamName":"Mix )" +
                        n + R"(","StreamDescription":{"Address":"239.2.0.1","Port":5004}}]})");
  tvsk::Json receivers = tvsk::Json::array();
  for (int r = 0; r < kReceiversPerDevice; ++r) {
    receivers.push_back({{"Id", r},
                         {"Name", "Input " + std::to_string(r)},
                         {"Status",
                          {{"State", r == 0 ? revision : 3},
                           {"StreamDescription", {{"Address", "239.1.1." + std::to_string(r + 1)}, {"Port", 5004}}}}}});
  }
  state["Receivers"] = std::move(receivers);
  return state;
}

// An "Add" message of the stream-discovery plug-in; `revision` (0-9) changes the name only.
std::string streamMessage(int id, int revision) {
  const std::string n = std::to_string(id);
  return R"({"Action":"Add","Id":)" + n + R"(,"Payload":{"Name":"Stream )" + n + " #" + std::to_string(revision) +
         R"(","Ip":"10.0.1.)" + std::to_string(id % 250 + 1) + R"(","DestinationIp":"239.69.)" +
         std::to_string(id / 250) + "." + std::to_string(id % 250) +
         R"(","DestinationPort":5004,"Encoding":"L24","SampleRate":48000,"TrackNumber":2,)"
         R"("Origin":"SAP","Description":"2 channels: Left, Right"}})";
}

struct Case {
  const char* name;
  uint32_t devices;
  int streams;
  double changesPerSecond;  // 0: static
};

void fill(tvsk::StateDocument& state, const Case& bench) {
  state.setRole(3);
  state.setPlugins({{"vextro", 1, 4}, {"annwatch", 0, 3}});
  state.setPluginDirectories({"/opt/lumora/plugins"});
  for (uint32_t id = 1; id <= bench.devices; ++id) {
    state.setDevice(id, deviceState(id, 0));
  }
  for (int i = 0; i < bench.streams; ++i) {
    state.applyStreamMessage(streamMessage(i, 0));
  }
}

// Changes one device (when the case has many) or stream after another at the case's rate, the
// way the plug-in host's worker stores refreshes and stream messages.
class Changer {
 public:
  Changer(tvsk::StateDocument& state, const Case& bench) : state_(state), bench_(bench) {
    if (bench.changesPerSecond > 0) {
      thread_ = std::thread([this] { run(); });
    }
  }
  ~Changer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  [[nodiscard]] long changes() const { return changes_; }

 private:
  void run() {
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / bench_.changesPerSecond));
    const bool devices = bench_.devices > static_cast<uint32_t>(bench_.streams);
    const long count = devices ? bench_.devices : bench_.streams;
    auto next = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (long k = 0;; ++k) {
      next += interval;
      if (wake_.wait_until(lock, next, [this] { return stop_; })) return;
      const int revision = static_cast<int>((k / count + 1) % 10);
      if (devices) {
        state_.setDevice(static_cast<uint32_t>(k % count + 1),
                         deviceState(static_cast<uint32_t>(k % count + 1), revision));
      } else {
        state_.applyStreamMessage(streamMessage(static_cast<int>(k % count), revision));
      }
      ++changes_;
    }
  }

  tvsk::StateDocument& state_;
  const Case& bench_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<long> changes_{0};
  std::thread thread_;
};

// The reference: reads each request whole and answers with a copy of the same body text.
class ReferenceServer {
 public:
  explicit ReferenceServer(std::string body)
      : body_(std::move(body)), acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~ReferenceServer() {
    io_.stop();
    thread_.join();
  }
  [[nodiscard]] uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(tcp::socket socket, const std::string& body) : stream(std::move(socket)), body(body) {}
    void read() {
      request = {};
      http::async_read(stream, buffer, request, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (!ec) self->write();
      });
    }
    void write() {
      response = {http::status::ok, request.version()};
      response.set(http::field::server, "TaviskEngine");
      response.set(http::field::content_type, "application/json");
      response.body() = body;
      response.keep_alive(request.keep_alive());
      response.prepare_payload();
      http::async_write(stream, response, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (!ec) self->read();
      });
    }
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
    const std::string& body;
  };

  void accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (!ec) std::make_shared<Connection>(std::move(socket), body_)->read();
      accept();
    });
  }

  std::string body_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

struct Round {
  double rate = 0;      // requests per second
  double medianMs = 0;  // median latency of one request
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// What `clients` kept-alive connections get for `seconds`. Each one's first answer is checked
// afterwards: the same bytes as `expected`, or for a changing document a JSON text of its size.
Round measure(uint16_t port, int clients, double seconds, const std::string& expected, bool changing) {
  std::atomic<long> done{0};
  std::mutex latenciesMutex;
  std::vector<double> latencies;
  std::vector<std::string> firstAnswers(static_cast<std::size_t>(clients));
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      asio::io_context io;
      beast::tcp_stream stream(io);
      stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
      http::request<http::string_body> request{http::verb::post, "/get", 11};
      request.set(http::field::host, "127.0.0.1");
      request.set(http::field::authorization, std::string("Basic ") + tvsk::ApiRouter::kCredentials);
      request.body() = R"({"Path":"$"})";
      request.prepare_payload();
      beast::flat_buffer buffer;
      std::vector<double> own;
      while (Clock::now() < end) {
        const auto sent = Clock::now();
        http::write(stream, request);
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        own.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        if (own.size() == 1) firstAnswers[static_cast<std::size_t>(c)] = std::move(response.body());
      }
      done += static_cast<long>(own.size());
      std::lock_guard<std::mutex> lock(latenciesMutex);
      latencies.insert(latencies.end(), own.begin(), own.end());
    });
  }
  for (auto& thread : threads) thread.join();
  for (const std::string& answer : firstAnswers) {
    const bool right = changing ? answer.size() == expected.size() && tvsk::Json::accept(answer) : answer == expected;
    if (!right) {
      std::fprintf(stderr, "a server answered other bytes than the engine's document\n");
      std::exit(1);
    }
  }
  return {static_cast<double>(done) / seconds, median(std::move(latencies))};
}

void run(const Case& bench, int clients, double seconds) {
  tvsk::StateDocument state;
  fill(state, bench);
  const tvsk::ApiRouter router(state, {});
  tvsk::HttpServerOptions options;
  options.address = "127.0.0.1";
  tvsk::HttpServer engine(router, options);
  std::string error;
  if (!engine.start(error)) {
    std::fprintf(stderr, "engine server: %s\n", error.c_str());
    std::exit(1);
  }
  const std::string body = state.view()->text;
  ReferenceServer reference(body);
  const bool changing = bench.changesPerSecond > 0;
  const Changer changer(state, bench);
  std::vector<Round> engineRounds;
  std::vector<Round> referenceRounds;
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round) {
    engineRounds.push_back(measure(engine.port(), clients, seconds, body, changing));
    referenceRounds.push_back(measure(reference.port(), clients, seconds, body, changing));
    ratios.push_back(engineRounds.back().rate / referenceRounds.back().rate);
  }
  const auto pick = [](const std::vector<Round>& rounds, double Round::*field) {
    std::vector<double> values;
    for (const Round& round : rounds) values.push_back(round.*field);
    return median(values);
  };
  const double engineRate = pick(engineRounds, &Round::rate);
  const double referenceRate = pick(referenceRounds, &Round::rate);
  std::sort(ratios.begin(), ratios.end());
  std::printf("%-30s %9zu %7.0f %7.1f %7.0f %7.1f %6.2f  %.2f-%.2f  %ld\n", bench.name, body.size(), engineRate,
              pick(engineRounds, &Round::medianMs), referenceRate, pick(referenceRounds, &Round::medianMs),
              engineRate / referenceRate, ratios.front(), ratios.back(), changer.changes());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1.0;
  int clients = 16;
  std::string cases;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--cases") == 0) cases = argv[i + 1];
  }
  const std::vector<Case> all = {
      {"10 streams, static", 2, 10, 0},
      {"1,000 streams, static", 2, 1000, 0},
      {"10,000 streams, static", 2, 10000, 0},
      {"1,000 devices, static", 1000, 10, 0},
      {"1,000 streams, 100 changes/s", 2, 1000, 100},
      {"10,000 streams, 10 changes/s", 2, 10000, 10},
      {"1,000 devices, 10 changes/s", 1000, 10, 10},
  };
  std::printf("POST /get \"$\", %d kept-alive clients, medians of %d rounds of %.1f s\n", clients, kRounds, seconds);
  std::printf("%-30s %9s %7s %7s %7s %7s %6s  %9s  %s\n", "case", "bytes", "engine", "p50 ms", "ref", "p50 ms", "ratio",
              "rounds", "changes");
  for (const Case& bench : all) {
    if (std::string(bench.name).find(cases) != std::string::npos) {
      run(bench, clients, seconds);
    }
  }
  return 0;
}
