// The HTTP API's answers, without sockets: authentication, bodies, paths, filters, actions and
// the web page.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "../src/ApiRouter.h"
#include "../src/StateDocument.h"
#include "../src/WebPage.h"
#include "InlineReply.h"
#include "testing/temp_dir.h"

using tvsk::ApiHooks;
using tvsk::ApiRequest;
using tvsk::ApiResponse;
using tvsk::ApiRouter;
using tvsk::Json;

namespace {

constexpr const char* kAuthorization = "Basic a2lsbzptYXJz";

class EngineApi : public ::testing::Test {
 protected:
  EngineApi() {
    state_.setRole(3);
    state_.setPlugins({{"vextro", 1, 4}});
    state_.setDevice(7, Json::parse(R"({"Identity":{"Name":"Box <b>"},"Streamers":[],"Receivers":[]})"));
    state_.applyStreamMessage(
        R"({"Action":"Add","Id":0,"Payload":{"Name":"<script>alert(1)</script>","Ip":"10.0.0.5","DestinationIp":"239.1.1.1",)"
        R"("DestinationPort":5004,"Encoding":"L24","SampleRate":48000,"TrackNumber":2}})");
    ApiHooks hooks;
    hooks.replaceInterfaceFilters = [this](const std::vector<tvsk::InterfaceFilter>& filters) {
      replaced_.push_back(filters);
    };
    hooks.deviceAction = [this](uint32_t id, tvsk::DeviceActionRequest request) {
      actions_.push_back(request.actions);
      if (id == 8) return tvsk::ActionAdmission::QueueFull;
      if (id != 7) return tvsk::ActionAdmission::UnknownDevice;
      request.done(-1);
      return tvsk::ActionAdmission::Queued;
    };
    hooks.webAppIndexPath = webApp_.path() + "/index.html";
    router_.emplace(state_, hooks);
  }

  ApiResponse run(const std::string& method, const std::string& target, const std::string& body,
                  const std::string& authorization = kAuthorization) {
    return engine_test::answerOf(router_->handle({method, target, authorization, body}));
  }

  tvsk::StateDocument state_;
  testing_support::TempDir webApp_;
  std::vector<std::vector<tvsk::InterfaceFilter>> replaced_;
  std::vector<std::string> actions_;
  std::optional<ApiRouter> router_;
};

}  // namespace

TEST_F(EngineApi, ApiPathsNeedTheAccountAndSayWhichRealm) {
  for (const char* path : {"/get", "/set_interface_filters", "/action"}) {
    for (const char* authorization : {"", "Basic a2lsbzptYXJ6", "Bearer a2lsbzptYXJz", "Basic", "a2lsbzptYXJz"}) {
      const ApiResponse response = run("POST", path, "{\"Path\":\"$\"}", authorization);
      EXPECT_EQ(response.status, 401u) << path << " " << authorization;
      ASSERT_EQ(response.headers.size(), 1u);
      EXPECT_EQ(response.headers[0].first, "WWW-Authenticate");
      EXPECT_EQ(response.headers[0].second, "Basic realm=\"TaviskEngine\"");
    }
  }
  EXPECT_TRUE(replaced_.empty());
  EXPECT_TRUE(actions_.empty());
  EXPECT_EQ(run("POST", "/get", R"({"Path":"$"})", "basic  a2lsbzptYXJz ").status, 200u);
  EXPECT_EQ(run("GET", "/get", "", kAuthorization).status, 405u);
  EXPECT_EQ(run("GET", "/favicon.ico", "").status, 404u);
}

TEST_F(EngineApi, GetAnswersTheWholeDocumentOrTheValueAtThePath) {
  ApiResponse response = run("POST", "/get", R"({ "Path": "$"})");  // the agent's own spelling
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(response.contentType, "application/json");
  EXPECT_EQ(Json::parse(response.body), state_.snapshot());
  response = run("POST", "/get?x=1", R"({"Path":"$.Config.Plugins"})");
  EXPECT_EQ(response.body, R"([{"Major":1,"Minor":4,"Name":"vextro"}])");
  EXPECT_EQ(run("POST", "/get", R"({"Path":"$.Devices[?(@.Id==7)].Identity.Name"})").body, "\"Box <b>\"");
  EXPECT_EQ(run("POST", "/get", R"({"Path":"$.Config.Nothing"})").status, 404u);
  // The common paths come from the stored texts, and change with the state.
  EXPECT_EQ(run("POST", "/get", R"({"Path":"$.Devices"})").body, tvsk::compactJson(state_.snapshot()["Devices"]));
  state_.setRole(1);
  EXPECT_EQ(run("POST", "/get", R"({"Path":"$.Config"})").body, tvsk::compactJson(state_.snapshot()["Config"]));
  EXPECT_EQ(Json::parse(run("POST", "/get", R"({"Path":"$"})").body)["Config"]["Role"], 1);
}

TEST_F(EngineApi, GetRefusesMalformedBodiesAndPaths) {
  for (const std::string& body :
       std::vector<std::string>{"", "{", "[]", "{}", R"({"path":"$"})", R"({"Path":5})", R"({"Path":null})",
                                R"({"Path":"Config"})", R"({"Path":"$.."})",
                                std::string(100, '[') + std::string(100, ']')}) {
    EXPECT_EQ(run("POST", "/get", body).status, 400u) << body;
  }
  // The client is told what is wrong with its path.
  EXPECT_NE(run("POST", "/get", R"({"Path":"$.."})").body.find("Malformed path: empty member name at 1"),
            std::string::npos);
}

TEST_F(EngineApi, SetInterfaceFiltersReplacesTheSetWithoutDuplicates) {
  EXPECT_EQ(run("POST", "/set_interface_filters",
                R"([{"Ip":"10.0.0.1","Mask":"255.0.0.0"},{"Ip":"192.168.1.2","Mask":"255.255.255.0"},)"
                R"({"Ip":"10.0.0.1","Mask":"255.0.0.0"}])")
                .body,
            R"({"Result":"OK"})");
  EXPECT_EQ(run("POST", "/set_interface_filters", "[]").status, 200u);
  ASSERT_EQ(replaced_.size(), 2u);
  EXPECT_EQ(replaced_[0],
            (std::vector<tvsk::InterfaceFilter>{{"10.0.0.1", "255.0.0.0"}, {"192.168.1.2", "255.255.255.0"}}));
  EXPECT_TRUE(replaced_[1].empty());
  for (const char* body : {"{}", "[1]", R"([{"Ip":"10.0.0.1"}])", R"([{"Ip":"10.0.0.1","Mask":8}])",
                           R"([{"Ip":"10.0.0.300","Mask":"255.0.0.0"}])", R"([{"Ip":"x","Mask":"255.0.0.0"}])",
                           R"([{"Ip":"10.0.0.1","Mask":"255.0.0.0"}, 7])", "[", "null"}) {
    EXPECT_EQ(run("POST", "/set_interface_filters", body).status, 400u) << body;
  }
  EXPECT_EQ(replaced_.size(), 2u);  // a refused body changes nothing
}

TEST_F(EngineApi, ActionRunsOffTheRequestAndAnswersThePluginResult) {
  const auto outcome = router_->handle({"POST", "/action", kAuthorization, R"({"Id":7,"Actions":[{"Path":"A"}]})"});
  ASSERT_TRUE(outcome.deferred);  // the device plug-in is never called on the I/O thread
  EXPECT_TRUE(actions_.empty());
  const ApiResponse response = engine_test::answerOf(outcome);
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(response.body, R"({"Result":-1})");
  EXPECT_EQ(actions_, (std::vector<std::string>{R"([{"Path":"A"}])"}));

  // A device with too many lists waiting refuses at once and says when to come back.
  const ApiResponse busy = run("POST", "/action", R"({"Id":8,"Actions":[]})");
  EXPECT_EQ(busy.status, 503u);
  EXPECT_EQ(Json::parse(busy.body)["Error"], "Too many actions are waiting for this device; try again later");
  ASSERT_EQ(busy.headers.size(), 1u);
  EXPECT_EQ(busy.headers[0], (std::pair<std::string, std::string>{"Retry-After", "1"}));

  EXPECT_EQ(run("POST", "/action", R"({"Id":9,"Actions":[]})").status, 404u);
  EXPECT_EQ(run("POST", "/action", R"({"Id":-1,"Actions":[]})").status, 404u);
  EXPECT_EQ(run("POST", "/action", R"({"Id":4294967296,"Actions":[]})").status, 404u);
  for (const char* body : {"", "[]", R"({"Id":7})", R"({"Actions":[]})", R"({"Id":"7","Actions":[]})",
                           R"({"Id":7,"Actions":{}})", R"({"Id":7.5,"Actions":[]})"}) {
    EXPECT_EQ(run("POST", "/action", body).status, 400u) << body;
  }
  EXPECT_EQ(actions_.size(), 3u);  // only the well-formed lists for a busy or unknown device reached the hook
}

TEST_F(EngineApi, BuiltInPageEscapesNetworkTextAndTheWebAppFileWinsWhenPresent) {
  ApiResponse page = run("GET", "/", "", "");
  EXPECT_EQ(page.status, 200u);
  EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(page.body.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.body.find("Box &lt;b&gt;"), std::string::npos);
  EXPECT_NE(page.body.find("239.1.1.1:5004"), std::string::npos);
  EXPECT_NE(page.body.find("48 kHz"), std::string::npos);
  EXPECT_EQ(run("POST", "/", "", "").status, 405u);

  testing_support::writeFile(webApp_.path() + "/index.html", "<html>installed web app</html>");
  page = run("GET", "/", "", "");
  EXPECT_EQ(page.body, "<html>installed web app</html>");
}

TEST_F(EngineApi, BuiltInPageIsRenderedOncePerChangeAndShowsEachChange) {
  const std::string first = run("GET", "/", "", "").body;
  const auto joined = state_.workCounts().pagesJoined;
  EXPECT_EQ(run("GET", "/index.html", "", "").body, first);
  EXPECT_EQ(run("HEAD", "/", "", "").status, 200u);
  EXPECT_EQ(state_.workCounts().pagesJoined, joined);  // served from the page kept since the last change

  state_.applyStreamMessage(R"({"Action":"Add","Id":9,"Payload":{"Name":"Late & new","DestinationIp":"239.9.9.9"}})");
  const std::string second = run("GET", "/", "", "").body;
  EXPECT_NE(second.find("Late &amp; new"), std::string::npos);
  EXPECT_NE(second.find("<span class=\"count\">2</span>"), std::string::npos);
  state_.setDevice(7, Json::parse(R"({"Identity":{"Name":"Renamed box"},"Status":{"Code":3,"Message":"ERROR",
    "Errors":{"Action":"no answer"}}})"));
  const std::string third = run("GET", "/", "", "").body;
  EXPECT_EQ(third.find("Box &lt;b&gt;"), std::string::npos);
  EXPECT_NE(third.find("Renamed box"), std::string::npos);
  EXPECT_NE(third.find("<li>Action: no answer</li>"), std::string::npos);
  EXPECT_EQ(state_.workCounts().pagesJoined, joined + 2);
  EXPECT_EQ(third, tvsk::renderStatusPage(state_.snapshot()));
}

TEST(EngineWebPage, EscapesEveryMarkupCharacter) {
  EXPECT_EQ(tvsk::escapeHtml(R"(<a href="x">'&'</a>)"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  const std::string page = tvsk::renderStatusPage(Json::object());
  EXPECT_NE(page.find("No device."), std::string::npos);
  EXPECT_NE(page.find("No stream announced."), std::string::npos);
}

TEST(EngineWebPage, ShowsEachDevicesStatusWithItsErrorsEscaped) {
  const Json document = Json::parse(R"({"Devices":[
    {"Id":1,"Status":{"Code":3,"Message":"ERROR","Errors":{"Network":"Error: <refused> & gone"}}},
    {"Id":2,"Status":{"Code":1,"Message":"OK","Errors":{}}},
    {"Id":3}]})");
  const std::string page = tvsk::renderStatusPage(document);
  EXPECT_NE(page.find("<strong>Device 1</strong></td><td class=\"status\"><span class=\"state error\">ERROR</span>"
                      "<ul class=\"errors\"><li>Network: Error: &lt;refused&gt; &amp; gone</li></ul></td>"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("<td class=\"status\"><span class=\"state ok\">OK</span></td>"), std::string::npos);
  EXPECT_NE(page.find("<strong>Device 3</strong></td><td class=\"status\"><span class=\"none\">"), std::string::npos);
}
