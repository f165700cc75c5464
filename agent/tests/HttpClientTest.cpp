#include "agent/src/HttpClient.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>

#include "agent/tests/AgentTestSupport.h"
#include "agent/tests/HostileMeasure.h"
#include "testing/http_server/http_server.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AgentTest;
using lmr::Agent;
using testing_support::HttpServer;
using testing_support::readFile;
using testing_support::ScriptedReply;

class HttpTest : public AgentTest {
 protected:
  void SetUp() override { lmr::setHttpTimeouts(1000ms, 1500ms); }
  void TearDown() override { lmr::setHttpTimeouts(lmr::kDefaultConnectTimeout, lmr::kDefaultTransferTimeout); }

  // An agent attached to the test server.
  void attach(const std::string& configJson = "{}", uint16_t port = 0) {
    agent = makeAgent(configJson);
    browser = std::make_unique<Agent::BrowserListener>(agent.get());
    browser->service_resolved(1, "_lumoraT", "_http._tcp.", "test.local.", "127.0.0.1",
                              port != 0 ? port : server.port(), {});
    ASSERT_EQ(agent->attachedAddress(), server.address());
  }

  // A port on 127.0.0.1 that nothing listens on any more.
  static uint16_t closedLocalPort() {
    HttpServer gone;
    return gone.port();
  }

  HttpServer server;
  std::unique_ptr<Agent> agent;
  std::unique_ptr<Agent::BrowserListener> browser;
};

TEST_F(HttpTest, GetPostsTheExactRequestAndParsesTheAnswer) {
  server.setReply("/get", ScriptedReply::json(R"({"devices":[1,2],"name":"x"})"));
  attach();
  const auto document = agent->get("$");
  ASSERT_NE(document, nullptr);
  ASSERT_TRUE(document->IsObject());
  EXPECT_STREQ((*document)["name"].GetString(), "x");
  EXPECT_EQ((*document)["devices"].Size(), 2u);

  ASSERT_EQ(server.requestCount(), 1u);
  const auto request = server.requests()[0];
  EXPECT_EQ(request.requestLine, "POST /get HTTP/1.1");
  EXPECT_EQ(request.header("Authorization"), "Basic a2lsbzptYXJz");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("User-Agent"), std::string(curl_version()));
  EXPECT_EQ(request.header("Content-Length"), "14");
  EXPECT_EQ(request.body, R"({ "Path": "$"})");
}

TEST_F(HttpTest, PathsAreEscapedIntoTheBody) {
  EXPECT_EQ(lmr::getRequestBody("$"), R"({ "Path": "$"})");
  EXPECT_EQ(lmr::getRequestBody("$.devices[0].name"), R"({ "Path": "$.devices[0].name"})");
  EXPECT_EQ(lmr::getRequestBody("$['a b']"), R"({ "Path": "$['a b']"})");
  EXPECT_EQ(lmr::getRequestBody("a\"}, \"x\": \"\\\n"), R"({ "Path": "a\"}, \"x\": \"\\\n"})");
  EXPECT_EQ(lmr::getRequestBody(std::string("\x01", 1)), R"({ "Path": "\u0001"})");

  server.setReply("/get", ScriptedReply::json("{}"));
  attach();
  const std::string hostile = "$\"}, \"Path\": \"other";
  ASSERT_NE(agent->get(hostile), nullptr);
  rapidjson::Document sent;
  sent.Parse(server.requests()[0].body.c_str());
  ASSERT_TRUE(sent.IsObject());
  EXPECT_EQ(sent.MemberCount(), 1u);
  EXPECT_EQ(std::string(sent["Path"].GetString()), hostile);
}

TEST_F(HttpTest, OnlyA200WithJsonGivesADocument) {
  attach();
  const std::vector<std::pair<const char*, ScriptedReply>> cases = {
      {"401", ScriptedReply::text(401, R"({"error":"credentials"})", "application/json")},
      {"404 html", ScriptedReply::html(404, "<html><body>Not Found</body></html>")},
      {"500", ScriptedReply::json("{}", 500)},
      {"cut JSON", ScriptedReply::json("{")},
      {"not JSON", ScriptedReply::text(200, "hello")},
      {"empty body", ScriptedReply::json("")},
      {"headers only", ScriptedReply::headersOnly(200, {{"Content-Type", "application/json"}})},
      {"short body", ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"a\":1}")},
      {"reset", ScriptedReply::reset("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"a\":")},
      {"zero byte inside", ScriptedReply::json(std::string("{}\0{", 4))},
      {"endless header", ScriptedReply::endlessHeader()},
      {"too deep", ScriptedReply::json(std::string(200, '[') + std::string(200, ']'))},
      {"oversized", ScriptedReply::oversized(size_t{20} << 20)},
  };
  for (const auto& [name, reply] : cases) {
    server.setReply("/get", reply);
    EXPECT_EQ(agent->get("$"), nullptr) << name;
  }
  server.setReply("/get", ScriptedReply::json("[]"));
  EXPECT_NE(agent->get("$"), nullptr);
}

TEST_F(HttpTest, AHangingServerGivesNullWithinTheTimeout) {
  server.setReply("/get", ScriptedReply::stall());
  attach();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(agent->get("$"), nullptr);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 1400ms);
  EXPECT_LT(took, 5s);
}

TEST_F(HttpTest, ASlowButTimelyServerIsWaitedFor) {
  server.setReply("/get", ScriptedReply::json(R"({"a":1})").after(500ms));
  attach();
  EXPECT_NE(agent->get("$"), nullptr);
}

TEST_F(HttpTest, AClosedPortGivesNull) {
  const uint16_t closedPort = closedLocalPort();
  attach("{}", 0);
  // Re-attach to the closed port.
  browser->service_removed(1, "_lumoraT", "_http._tcp.");
  browser->service_resolved(1, "_lumoraC", "_http._tcp.", "c.local.", "127.0.0.1", closedPort, {});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(agent->get("$"), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// A server whose API keeps failing and that no longer resolves (black-holed, gone) does not hold
// the agent: it moves to another found server by the usual choice.
TEST_F(HttpTest, AServerThatNeitherAnswersNorResolvesIsLeftForAnother) {
  server.setReply("/get", ScriptedReply::json(R"({"a":1})"));
  const uint16_t closedPort = closedLocalPort();
  attach("{}", 0);
  browser->service_removed(1, "_lumoraT", "_http._tcp.");
  browser->service_resolved(1, "_lumoraA", "_http._tcp.", "a.local.", "127.0.0.1", closedPort, {});
  browser->service_resolved(1, "_lumoraB", "_http._tcp.", "b.local.", "127.0.0.1", server.port(), {});
  const std::string dead = "127.0.0.1:" + std::to_string(closedPort);
  ASSERT_EQ(agent->attachedAddress(), dead);
  // It resolved just now: failed calls alone do not move the agent.
  for (int call = 0; call < Agent::kApiFailuresBeforeDrop + 2; ++call) EXPECT_EQ(agent->get("$"), nullptr);
  EXPECT_EQ(agent->attachedAddress(), dead);

  agent->setResolveConfirmWindow(0ms);
  EXPECT_EQ(agent->get("$"), nullptr);
  EXPECT_EQ(agent->attachedAddress(), server.address());
  EXPECT_NE(agent->get("$"), nullptr);
  EXPECT_TRUE(listener.waitFor("attached " + server.address(), 1s));
  // Once it resolves again it is known again; the agent stays where it is.
  browser->service_resolved(1, "_lumoraA", "_http._tcp.", "a.local.", "127.0.0.1", closedPort, {});
  EXPECT_EQ(browser->serviceNames(), (std::vector<std::string>{"_lumoraA", "_lumoraB"}));
  EXPECT_EQ(agent->attachedAddress(), server.address());
}

TEST_F(AgentTest, NotAttachedGivesNullWithoutARequest) {
  HttpServer server;
  auto agent = makeAgent();
  EXPECT_EQ(agent->get("$"), nullptr);
  EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(HttpTest, HttpPostKeepsHeadersBodyAndErrors) {
  server.setReply("/x", ScriptedReply::text(201, "made"));
  const char* const headers[] = {"Content-Type: application/json", "X-Extra: 1"};
  const auto result = lmr::httpPost("tag", server.address() + "/x", headers, 2, "[]", -1);
  EXPECT_EQ(result->tag, "tag");
  EXPECT_EQ(result->code, 201);
  EXPECT_EQ(result->body, "made");
  EXPECT_EQ(result->headers.rfind("HTTP/1.1 201 Created", 0), 0u) << result->headers;
  EXPECT_NE(result->headers.find("Content-Length: 4\r\n"), std::string::npos);
  EXPECT_EQ(result->error, "");
  EXPECT_EQ(server.requests()[0].header("X-Extra"), "1");

  server.stop();
  const auto failed = lmr::httpPost(nullptr, server.address() + "/x", nullptr, 0, nullptr, 0);
  EXPECT_EQ(failed->code, 0);
  EXPECT_NE(failed->error, "");
  EXPECT_EQ(failed->tag, "");
}

TEST_F(HttpTest, InterfaceFiltersAreSentOnlyWhenChanged) {
  server.setReply("/set_interface_filters", ScriptedReply::json("{}"));
  attach(R"({"discovery":{"filtering":[{"hardware_id":"02:00:00:00:00:01"}]}})");
  EXPECT_TRUE(agent->setInterfaceFilters({"0"}));
  ASSERT_EQ(server.requestCount(), 1u);
  const auto request = server.requests()[0];
  EXPECT_EQ(request.requestLine, "POST /set_interface_filters HTTP/1.1");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Authorization"), "Basic a2lsbzptYXJz");
  EXPECT_EQ(request.body, "[]");
  EXPECT_NE(readFile(configFile()).find(R"("filtering":[{"hardware_id":"0"}])"), std::string::npos);

  EXPECT_FALSE(agent->setInterfaceFilters({"0"}));
  EXPECT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(agent->hardwareIds(), QStringList{"0"});
}

TEST_F(HttpTest, UnknownInterfacesSendAnEmptyListAndAnErrorReplyIsIgnored) {
  server.setReply("/set_interface_filters", ScriptedReply::json("{}", 500));
  attach();
  EXPECT_TRUE(agent->setInterfaceFilters({"02:00:00:00:00:07", "02:00:00:00:00:08"}));
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].body, "[]");
  EXPECT_NE(readFile(configFile())
                .find(R"("filtering":[{"hardware_id":"02:00:00:00:00:07"},{"hardware_id":"02:00:00:00:00:08"}])"),
            std::string::npos);
}

// A hostile engine: huge, endless or trickling replies fail within the transfer bound and
// without growing the agent by more than the reply cap.
TEST_F(HttpTest, HostileEngineRepliesFailWithinBounds) {
  attach();
  const auto oversized = hostile_test::measure("engine /get announcing 1.5 GiB", [this] {
    server.setReply("/get", ScriptedReply::oversized(size_t{1536} * 1024 * 1024));
    EXPECT_EQ(agent->get("$"), nullptr);
  });
  const auto endless = hostile_test::measure("engine /get endless body", [this] {
    server.setReply("/get", ScriptedReply::endlessBody());
    EXPECT_EQ(agent->get("$"), nullptr);
  });
  const auto trickle = hostile_test::measure("engine /get a byte every 50 ms", [this] {
    const std::string slow = "HTTP/1.0 200 OK\r\n\r\n{\"Config\":\"" + std::string(200, 'x') + "\"}";
    server.setReply("/get", ScriptedReply::trickle(slow, 50ms));
    EXPECT_EQ(agent->get("$"), nullptr);
  });
  const auto filters = hostile_test::measure("engine /set_interface_filters endless body", [this] {
    server.setReply("/set_interface_filters", ScriptedReply::endlessBody());
    EXPECT_TRUE(agent->setInterfaceFilters({"02:00:00:00:00:09"}));
    EXPECT_EQ(server.requests().back().path, "/set_interface_filters");
  });
  for (const auto& run : {oversized, endless, trickle, filters}) {
    EXPECT_LT(run.blocked, 2500ms);
    if (hostile_test::kPeaksComparable) {
      EXPECT_LT(run.peakRiseKb, 40 * 1024);
    }
  }
  // Under the caps nothing changes.
  server.setReply("/get", ScriptedReply::json(R"({"Config":{"Plugins":[]}})"));
  EXPECT_NE(agent->get("$"), nullptr);
  const auto small = lmr::httpPost(nullptr, server.address() + "/get", nullptr, 0, "{}", -1, 8);
  EXPECT_EQ(small->code, 0);
  EXPECT_NE(small->error, "");
}

TEST_F(AgentTest, InterfaceFiltersWhileNotAttachedAreOnlyStored) {
  auto agent = makeAgent();
  EXPECT_TRUE(agent->setInterfaceFilters({"02:00:00:00:00:01"}));
  EXPECT_NE(readFile(configFile()).find(R"("filtering":[{"hardware_id":"02:00:00:00:00:01"}])"), std::string::npos);
  // The next agent starts with the stored choice.
  EXPECT_EQ(makeAgent(readFile(configFile()))->hardwareIds(), QStringList{"02:00:00:00:00:01"});
}

TEST(InterfaceFiltersBody, CompactList) {
  EXPECT_EQ(lmr::interfaceFiltersBody({}), "[]");
  EXPECT_EQ(lmr::interfaceFiltersBody({{"192.168.1.20", "255.255.255.0"}, {"10.0.0.1", "255.0.0.0"}}),
            R"([{"Ip":"192.168.1.20","Mask":"255.255.255.0"},{"Ip":"10.0.0.1","Mask":"255.0.0.0"}])");
}

}  // namespace
