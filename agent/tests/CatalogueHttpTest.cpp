#include "agent/src/CatalogueHttp.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <future>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "agent/tests/SilentResolver.h"
#include "testing/http_server/http_server.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::HttpServer;
using testing_support::ScopedEnv;
using testing_support::ScriptedReply;

// Short waits so the stall cases end in well under a second.
class CatalogueHttpTest : public ::testing::Test {
 protected:
  void SetUp() override { lmr::setHttpTimeouts({1000ms, 400ms}); }
  void TearDown() override { lmr::setHttpTimeouts({}); }

  bool get(const std::string& path, std::string& body, std::size_t cap = lmr::kCatalogueBodyCap) {
    std::ostringstream out;
    const bool ok = lmr::httpGet(server.address(), path, out, cap);
    body = out.str();
    return ok;
  }

  HttpServer server;
};

TEST_F(CatalogueHttpTest, SendsTheExactRequestInOneWriteAndReturnsTheBody) {
  server.setReply("/plugins.json", ScriptedReply::json(R"({"Plugins":[]})"));
  std::string body;
  ASSERT_TRUE(get("/plugins.json", body));
  EXPECT_EQ(body, R"({"Plugins":[]})");
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].rawHead + "\r\n\r\n",
            "GET /plugins.json HTTP/1.0\r\nHost: " + server.address() + "\r\nAccept: */*\r\nConnection: close\r\n\r\n");
}

TEST_F(CatalogueHttpTest, BodyWithoutContentLengthEndsAtClose) {
  std::string payload(200000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  server.setReply("/file.so", ScriptedReply::raw("HTTP/1.0 200 OK\r\nServer: t\r\n\r\n" + payload));
  std::string body;
  ASSERT_TRUE(get("/file.so", body));
  EXPECT_EQ(body, payload);
}

TEST_F(CatalogueHttpTest, BytesPastContentLengthAreNotPartOfTheBody) {
  server.setReply("/a", ScriptedReply::raw("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabcdef"));
  std::string body;
  ASSERT_TRUE(get("/a", body));
  EXPECT_EQ(body, "abc");
}

TEST_F(CatalogueHttpTest, FailedTransfersAreNeverSuccess) {
  server.setReply("/404", ScriptedReply::html(404, "<html><body>Not here</body></html>"));
  server.setReply("/500", ScriptedReply::text(500, "oops"));
  server.setReply("/headers-only", ScriptedReply::headersOnly(200));
  server.setReply("/empty", ScriptedReply::text(200, ""));
  server.setReply("/short", ScriptedReply::raw("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly some"));
  server.setReply("/reset", ScriptedReply::reset("HTTP/1.0 200 OK\r\n\r\nfirst part of the body"));
  server.setReply("/garbage", ScriptedReply::raw("SSH-2.0-OpenSSH\r\n\r\nbody"));
  server.setReply("/bad-length", ScriptedReply::raw("HTTP/1.0 200 OK\r\nContent-Length: ten\r\n\r\nbody"));
  for (const char* path : {"/404", "/500", "/headers-only", "/empty", "/short", "/reset", "/garbage", "/bad-length"}) {
    std::string body;
    EXPECT_FALSE(get(path, body)) << path;
  }
}

TEST_F(CatalogueHttpTest, OversizedBodiesFailEarlyOrAtTheCap) {
  server.setReply("/announced", ScriptedReply::oversized(5000));
  std::string body;
  EXPECT_FALSE(get("/announced", body, 4096));
  EXPECT_TRUE(body.empty());
  // Without a length the cap is found while reading.
  server.setReply("/streamed", ScriptedReply::raw("HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'y')));
  EXPECT_FALSE(get("/streamed", body, 4096));
  EXPECT_LE(body.size(), 4097u);
  server.setReply("/fits", ScriptedReply::raw("HTTP/1.0 200 OK\r\n\r\n" + std::string(4096, 'y')));
  EXPECT_TRUE(get("/fits", body, 4096));
}

TEST_F(CatalogueHttpTest, EndlessHeaderFailsWithoutGrowing) {
  server.setReply("/endless", ScriptedReply::endlessHeader());
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(get("/endless", body));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(body.empty());
}

TEST_F(CatalogueHttpTest, StallsEndWithinTheIdleTimeout) {
  server.setReply("/stall", ScriptedReply::stall());
  std::string body;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(get("/stall", body));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 350ms);
  EXPECT_LT(took, 1500ms);
}

// Sends the head and the first bytes of a body, then nothing until released.
class MidBodyStall {
 public:
  MidBodyStall() : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this] {
      boost::asio::ip::tcp::socket socket(io_);
      acceptor_.accept(socket);
      boost::asio::streambuf request;
      boost::asio::read_until(socket, request, "\r\n\r\n");
      boost::asio::write(socket, boost::asio::buffer(std::string("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc")));
      released_.get_future().wait();
    });
  }
  ~MidBodyStall() {
    released_.set_value();
    thread_.join();
  }
  [[nodiscard]] std::string address() const { return "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()); }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::promise<void> released_;
  std::thread thread_;
};

TEST_F(CatalogueHttpTest, AStallInsideTheBodyEndsWithinTheIdleTimeout) {
  MidBodyStall stalling;
  std::ostringstream out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lmr::httpGet(stalling.address(), "/file.so", out));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 350ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_EQ(out.str(), "abc");
}

TEST_F(CatalogueHttpTest, ACancelFlagEndsAWaitingTransferAtOnce) {
  lmr::setHttpTimeouts({1000ms, 30000ms});
  server.setReply("/stall", ScriptedReply::stall());
  std::atomic<bool> cancel{false};
  std::thread canceller([&cancel] {
    std::this_thread::sleep_for(200ms);
    cancel = true;
  });
  std::ostringstream out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lmr::httpGet(server.address(), "/stall", out, lmr::kCatalogueBodyCap, &cancel));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  canceller.join();
}

TEST_F(CatalogueHttpTest, UnreachableHostsFail) {
  const std::string refused = server.address();
  server.stop();
  std::ostringstream out;
  EXPECT_FALSE(lmr::httpGet(refused, "/plugins.json", out));
  EXPECT_FALSE(lmr::httpGet("no-such-host.invalid", "/plugins.json", out));
  EXPECT_FALSE(lmr::httpGet("127.0.0.1:notaport", "/plugins.json", out));
  EXPECT_FALSE(lmr::httpGet("", "/plugins.json", out));
}

TEST_F(CatalogueHttpTest, ChunkedRepliesToHttp10AreFailures) {
  server.setReply("/chunked", ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                                 "5\r\nhello\r\n0\r\n\r\n"));
  server.setReply("/identity", ScriptedReply::raw("HTTP/1.1 200 OK\r\ntransfer-encoding : identity\r\n\r\nbody"));
  std::string body;
  EXPECT_FALSE(get("/chunked", body));
  EXPECT_TRUE(body.empty());
  EXPECT_FALSE(get("/identity", body));
}

TEST_F(CatalogueHttpTest, ControlCharactersAndBlanksNeverReachTheWire) {
  std::ostringstream out;
  for (const std::string& path : {std::string("/a\r\nSET owned 1\r\n"), std::string("/a b"), std::string("/a\tb"),
                                  std::string("/a\x7f"), std::string("relative"), std::string("/nul\0x", 7)}) {
    EXPECT_FALSE(lmr::httpGet(server.address(), path, out)) << path;
  }
  EXPECT_FALSE(lmr::httpGet(server.address() + "\r\nX: 1", "/a", out));
  EXPECT_FALSE(lmr::httpGet("127.0.0.1 :" + std::to_string(server.port()), "/a", out));
  EXPECT_FALSE(lmr::httpGet("127.0.0.1:99999", "/a", out));
  EXPECT_EQ(server.connectionCount(), 0u);
  EXPECT_FALSE(lmr::splitAddress("host/a\r\nSET owned 1\r\n"));
  EXPECT_FALSE(lmr::splitAddress("host /a"));
}

TEST_F(CatalogueHttpTest, ATricklingServerEndsAtTheDeadline) {
  // Each byte comes well within the idle timeout; only the whole transfer's deadline ends it.
  lmr::setHttpTimeouts({1000ms, 30000ms});
  server.setReply("/slow", ScriptedReply::trickle("HTTP/1.0 200 OK\r\n\r\n" + std::string(100, 'x'), 50ms));
  std::ostringstream out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lmr::httpGet(server.address(), "/slow", out, lmr::kCatalogueBodyCap, nullptr, start + 800ms));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 750ms);
  EXPECT_LT(took, 1100ms);
}

// A resolver that never answers: the transfer gives up at its connect timeout and leaves the
// lookup to end alone; the cap on running lookups fails further transfers at once.
TEST_F(CatalogueHttpTest, ANameLookupThatNeverEndsIsNotWaitedFor) {
  hostile_test::SilentResolver resolver;
  ASSERT_TRUE(resolver.ready()) << "needs the test namespace";
  std::ostringstream out;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lmr::httpGet("catalogue.lumora.test", "/plugins.json", out));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1300ms) << attempt;
  }
  std::atomic<bool> cancel{true};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lmr::httpGet("other.lumora.test", "/plugins.json", out, lmr::kCatalogueBodyCap, &cancel));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
}

TEST(CatalogueAddress, SplitsAtTheFirstSlash) {
  const auto split = lmr::splitAddress("127.0.0.1:8080/files/plugins/vextro.so");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->host, "127.0.0.1:8080");
  EXPECT_EQ(split->path, "/files/plugins/vextro.so");
  EXPECT_FALSE(lmr::splitAddress("nohost"));
  EXPECT_FALSE(lmr::splitAddress("/only/path"));
}

TEST(CatalogueAddress, HostComesFromTheEnvironmentWhenSet) {
  {
    ScopedEnv unset("LUMORA_CATALOGUE_HOST", std::nullopt);
    EXPECT_FALSE(lmr::catalogueHost().empty());
    EXPECT_EQ(lmr::catalogueHost().find(':'), std::string::npos);
  }
  ScopedEnv set("LUMORA_CATALOGUE_HOST", std::string("127.0.0.1:5555"));
  EXPECT_EQ(lmr::catalogueHost(), "127.0.0.1:5555");
}

}  // namespace
