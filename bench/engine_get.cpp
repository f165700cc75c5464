// POST /get with the path "$" per second, answered by the engine's HTTP server and by a plain
// Boost.Beast server (one I/O thread, kept-alive connections) that sends the same bytes, with
// several kept-alive clients; prints both rates and their ratio at 10 and 1,000 streams. The two
// servers are measured in turn, three rounds each, and the medians compared, so a busy machine
// weighs on both alike.
//   engine_get [--seconds S] [--clients N]   (S: time per round)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
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

// A document as a busy engine holds it: two devices and `streams` announced streams.
void fill(tvsk::StateDocument& state, int streams) {
  state.setRole(3);
  state.setPlugins({{"vextro", 1, 4}, {"annwatch", 0, 3}});
  state.setPluginDirectories({"/opt/lumora/plugins"});
  for (uint32_t id = 1; id <= 2; ++id) {
    state.setDevice(
        id, tvsk::Json::parse(
                R"({"Identity":{"Name":"Box","Product":"CANTOR"},"Network":{"Interfaces":[{"Address":"10.0.0.2"}]},)"
                R"("IOGroups":[{"Status":{"SampleRate":48000}}],"Status":{"Code":1,"Message":"OK","Errors":{}},)"
                R"("Streamers":[{"Id":0,"StreamName":"Mix"}],"Receivers":[{"Id":2,"Name":"R",)"
                R"("Status":{"State":3,"StreamDescription":{"Address":"239.1.1.1","Port":5004}}}]})"));
  }
  for (int i = 0; i < streams; ++i) {
    const std::string n = std::to_string(i);
    state.applyStreamMessage(R"({"Action":"Add","Id":)" + n + R"(,"Payload":{"Name":"Stream )" + n +
                             R"(","Ip":"10.0.1.)" + std::to_string(i % 250 + 1) + R"(","DestinationIp":"239.69.)" +
                             std::to_string(i / 250) + "." + std::to_string(i % 250) +
                             R"(","DestinationPort":5004,"Encoding":"L24","SampleRate":48000,"TrackNumber":2,)"
                             R"("Origin":"SAP","Description":"2 channels: Left, Right"}})");
  }
}

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

// Requests per second that `clients` kept-alive connections get for `seconds`; the first answer
// of each is checked against `expected`.
double measure(uint16_t port, int clients, double seconds, const std::string& expected) {
  std::atomic<long> done{0};
  std::atomic<bool> wrong{false};
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      asio::io_context io;
      beast::tcp_stream stream(io);
      stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
      http::request<http::string_body> request{http::verb::post, "/get", 11};
      request.set(http::field::host, "127.0.0.1");
      request.set(http::field::authorization, std::string("Basic ") + tvsk::ApiRouter::kCredentials);
      request.body() = R"({"Path":"$"})";
      request.prepare_payload();
      beast::flat_buffer buffer;
      bool first = true;
      long count = 0;
      while (std::chrono::steady_clock::now() < end) {
        http::write(stream, request);
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        if (first && response.body() != expected) wrong = true;
        first = false;
        ++count;
      }
      done += count;
    });
  }
  for (auto& thread : threads) thread.join();
  if (wrong) {
    std::fprintf(stderr, "a server answered other bytes than the engine's document\n");
    std::exit(1);
  }
  return static_cast<double>(done) / seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  constexpr int kRounds = 3;
  double seconds = 1.0;
  int clients = 16;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::atoi(argv[i + 1]);
  }
  std::printf("POST /get \"$\", %d kept-alive clients, median of %d rounds of %.1f s\n", clients, kRounds, seconds);
  std::printf("%8s %10s %16s %18s %7s\n", "streams", "bytes", "engine req/s", "reference req/s", "ratio");
  for (const int streams : {10, 1000}) {
    tvsk::StateDocument state;
    fill(state, streams);
    const tvsk::ApiRouter router(state, {});
    tvsk::HttpServerOptions options;
    options.address = "127.0.0.1";
    tvsk::HttpServer engine(router, options);
    std::string error;
    if (!engine.start(error)) {
      std::fprintf(stderr, "engine server: %s\n", error.c_str());
      return 1;
    }
    const std::string body = state.view()->text;
    ReferenceServer reference(body);
    std::vector<double> engineRates;
    std::vector<double> referenceRates;
    for (int round = 0; round < kRounds; ++round) {
      engineRates.push_back(measure(engine.port(), clients, seconds, body));
      referenceRates.push_back(measure(reference.port(), clients, seconds, body));
    }
    const double engineRate = median(engineRates);
    const double referenceRate = median(referenceRates);
    std::printf("%8d %10zu %16.0f %18.0f %7.2f\n", streams, body.size(), engineRate, referenceRate,
                engineRate / referenceRate);
    std::fflush(stdout);
  }
  return 0;
}
