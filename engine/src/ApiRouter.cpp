#include "ApiRouter.h"

#include <arpa/inet.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string_view>

#include "StateDocument.h"
#include "StatePath.h"

namespace tvsk {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
// The web application file is read whole; anything larger is not served.
constexpr std::size_t kMaxWebAppFileBytes = 8 * 1024 * 1024;
// When a client refused for a busy device may try again.
constexpr int kDeviceBusyRetrySeconds = 1;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool authorized(const std::string& header) {
  const std::string_view value = trim(header);
  const std::size_t blank = value.find(' ');
  if (blank == std::string_view::npos) {
    return false;
  }
  return equalsIgnoringCase(value.substr(0, blank), "Basic") &&
         trim(value.substr(blank + 1)) == ApiRouter::kCredentials;
}

bool isIpv4Text(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

std::string pathOf(const std::string& target) { return target.substr(0, target.find_first_of("?#")); }

ApiResponse jsonResponse(const Json& body) {
  ApiResponse response;
  response.body = compactJson(body);
  return response;
}

// The view's ready text for "$" and for a top member such as "$.Streams"; nothing for other paths.
std::optional<std::string_view> storedText(const StateDocument::View& view, const StatePath& path) {
  const auto& steps = path.steps();
  if (steps.empty()) {
    return view.text;
  }
  if (steps.size() == 1 && steps.front().kind == StatePath::Step::Kind::Member) {
    const auto member = view.memberTexts.find(steps.front().name);
    if (member != view.memberTexts.end()) {
      return member->second;
    }
  }
  return std::nullopt;
}

std::optional<std::string> readSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::string contents;
  char chunk[8192];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    contents.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (contents.size() > kMaxWebAppFileBytes) {
      return std::nullopt;
    }
  }
  return contents;
}

}  // namespace

ApiRouter::ApiRouter(const StateDocument& state, ApiHooks hooks) : state_(state), hooks_(std::move(hooks)) {}

ApiResponse ApiRouter::errorResponse(unsigned status, const std::string& message) {
  ApiResponse response = jsonResponse(Json{{"Error", message}});
  response.status = status;
  return response;
}

ApiOutcome ApiRouter::handle(const ApiRequest& request) const {
  const std::string path = pathOf(request.target);
  const bool isApi = path == "/get" || path == "/set_interface_filters" || path == "/action";
  if (isApi) {
    if (request.method != "POST") {
      ApiResponse response = errorResponse(405, "Use POST");
      response.headers.emplace_back("Allow", "POST");
      return {response, {}};
    }
    if (!authorized(request.authorization)) {
      ApiResponse response = errorResponse(401, "Authentication required");
      response.headers.emplace_back("WWW-Authenticate", std::string("Basic realm=\"") + kRealm + "\"");
      return {response, {}};
    }
    if (path == "/get") {
      return {get(request), {}};
    }
    if (path == "/set_interface_filters") {
      return {setInterfaceFilters(request), {}};
    }
    return action(request);
  }
  if (path == "/" || path == "/index.html") {
    if (request.method != "GET" && request.method != "HEAD") {
      ApiResponse response = errorResponse(405, "Use GET");
      response.headers.emplace_back("Allow", "GET, HEAD");
      return {response, {}};
    }
    return {webApplication(), {}};
  }
  return {errorResponse(404, "No such resource"), {}};
}

ApiResponse ApiRouter::get(const ApiRequest& request) const {
  const auto body = parseJson(request.body);
  if (!body || !body->is_object()) {
    return errorResponse(400, "Expected {\"Path\": text}");
  }
  const auto pathMember = body->find("Path");
  if (pathMember == body->end() || !pathMember->is_string()) {
    return errorResponse(400, "Expected {\"Path\": text}");
  }
  const auto parsed = StatePath::parse(pathMember->get_ref<const std::string&>());
  if (!parsed.path) {
    return errorResponse(400, "Malformed path: " + parsed.error);
  }
  const StatePath& path = *parsed.path;
  if (const auto view = state_.view(); const auto text = storedText(*view, path)) {
    ApiResponse response;
    response.body = *text;
    return response;
  }
  // Any other path serialises just the value it names, in the whole document built for such paths.
  const auto document = state_.document();
  const Json* value = path.resolve(*document);
  if (value == nullptr) {
    return errorResponse(404, "No such path");
  }
  return jsonResponse(*value);
}

ApiResponse ApiRouter::setInterfaceFilters(const ApiRequest& request) const {
  const auto body = parseJson(request.body);
  if (!body || !body->is_array()) {
    return errorResponse(400, "Expected [{\"Ip\": text, \"Mask\": text}...]");
  }
  std::vector<InterfaceFilter> filters;
  std::set<std::string> seen;
  for (const Json& element : *body) {
    if (!element.is_object()) {
      return errorResponse(400, "Expected [{\"Ip\": text, \"Mask\": text}...]");
    }
    const auto ip = element.find("Ip");
    const auto mask = element.find("Mask");
    if (ip == element.end() || mask == element.end() || !ip->is_string() || !mask->is_string() ||
        !isIpv4Text(ip->get<std::string>()) || !isIpv4Text(mask->get<std::string>())) {
      return errorResponse(400, "Each filter needs an IPv4 \"Ip\" and \"Mask\"");
    }
    if (seen.insert(ip->get<std::string>()).second) {
      filters.push_back({ip->get<std::string>(), mask->get<std::string>()});
    }
  }
  if (hooks_.replaceInterfaceFilters) {
    hooks_.replaceInterfaceFilters(filters);
  }
  return jsonResponse(Json{{"Result", "OK"}});
}

ApiOutcome ApiRouter::action(const ApiRequest& request) const {
  const auto body = parseJson(request.body);
  const char* const usage = "Expected {\"Id\": number, \"Actions\": [...]}";
  if (!body || !body->is_object()) {
    return {errorResponse(400, usage), {}};
  }
  const auto id = body->find("Id");
  const auto actions = body->find("Actions");
  if (id == body->end() || actions == body->end() || !id->is_number_integer() || !actions->is_array()) {
    return {errorResponse(400, usage), {}};
  }
  const int64_t idValue = id->get<int64_t>();
  if (idValue < 0 || idValue > static_cast<int64_t>(UINT32_MAX) || !hooks_.deviceAction) {
    return {errorResponse(404, "No such device"), {}};
  }
  const auto proxyId = static_cast<uint32_t>(idValue);
  std::string actionList = compactJson(*actions);
  auto queue = hooks_.deviceAction;
  ApiOutcome outcome;
  outcome.deferred = [queue, proxyId, actionList = std::move(actionList)](
                         const std::shared_ptr<DeferredReply>& reply) -> std::optional<ApiResponse> {
    DeviceActionRequest request;
    request.actions = actionList;
    request.abandoned = [reply] { return reply->abandoned(); };
    request.done = [reply](int result) { reply->send(jsonResponse(Json{{"Result", result}})); };
    switch (queue(proxyId, std::move(request))) {
      case ActionAdmission::Queued: return std::nullopt;
      case ActionAdmission::UnknownDevice: return errorResponse(404, "No such device");
      case ActionAdmission::QueueFull: {
        ApiResponse busy = errorResponse(503, "Too many actions are waiting for this device; try again later");
        busy.headers.emplace_back("Retry-After", std::to_string(kDeviceBusyRetrySeconds));
        return busy;
      }
      case ActionAdmission::Stopping: break;
    }
    return errorResponse(503, "The engine is stopping");
  };
  return outcome;
}

ApiResponse ApiRouter::webApplication() const {
  ApiResponse response;
  response.contentType = kHtml;
  response.headers.emplace_back("Cache-Control", "no-store");
  if (!hooks_.webAppIndexPath.empty()) {
    if (auto file = readSmallFile(hooks_.webAppIndexPath)) {
      response.body = std::move(*file);
      return response;
    }
  }
  response.body = *state_.statusPage();
  return response;
}

}  // namespace tvsk
