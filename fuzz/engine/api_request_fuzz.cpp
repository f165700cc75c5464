// Bytes as one HTTP request to the engine: parsed with the server's limits, then answered by the
// API router over a small state document (deferred work runs inline). Checks that every answer is
// a known status and that JSON answers are JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>

#include "engine/src/ApiRouter.h"

namespace {

namespace http = boost::beast::http;

tvsk::StateDocument& sampleState() {
  static tvsk::StateDocument* state = [] {
    auto* document = new tvsk::StateDocument();
    document->setRole(3);
    document->setPlugins({{"vextro", 1, 4}, {"annwatch", 0, 3}});
    document->setPluginDirectories({"/plugins"});
    document->setDevice(1, nlohmann::json::parse(
                               R"({"Identity":{"Name":"Box"},"Network":{"Interfaces":[{"Address":"10.0.0.2"}]},)"
                               R"("IOGroups":[{"Status":{"SampleRate":48000}}],"Streamers":[{"Id":0,"Name":"S"}],)"
                               R"("Receivers":[{"Id":2,"Name":"R","Status":{"StreamDescription":{"Address":"239.1.1.1","Port":5004}}}]})"));
    document->applyStreamMessage(R"({"Action":"Add","Id":0,"Payload":{"Name":"<b>","Ip":"10.0.0.9","DestinationIp":)"
                                 R"("239.2.2.2","DestinationPort":5004,"Encoding":"L24","SampleRate":48000,"TrackNumber":2}})");
    return document;
  }();
  return *state;
}

const tvsk::ApiRouter& router() {
  static const tvsk::ApiRouter* instance = [] {
    tvsk::ApiHooks hooks;
    hooks.replaceInterfaceFilters = [](const std::vector<tvsk::InterfaceFilter>& filters) {
      if (filters.size() > 1024 * 1024) std::abort();
    };
    hooks.deviceAction = [](uint32_t id, const std::string& actions) -> std::optional<int> {
      if (actions.empty() || actions.front() != '[') std::abort();  // the router passes an array text
      if (id != 1) return std::nullopt;
      return 0;
    };
    return new tvsk::ApiRouter(sampleState(), hooks);
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  http::request_parser<http::string_body> parser;
  parser.eager(true);
  parser.header_limit(64 * 1024);
  parser.body_limit(1024 * 1024);
  boost::beast::error_code ec;
  std::size_t used = 0;
  while (used < size && !ec && !parser.is_done()) {
    const std::size_t step = parser.put(boost::asio::buffer(data + used, size - used), ec);
    if (step == 0 && !ec) break;
    used += step;
  }
  if (!ec && !parser.is_done() && parser.got_some()) {
    parser.put_eof(ec);
  }
  if (ec || !parser.is_done()) {
    return 0;
  }
  auto& message = parser.get();
  tvsk::ApiRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  request.authorization = std::string(message[http::field::authorization]);
  request.body = message.body();
  tvsk::ApiOutcome outcome = router().handle(request);
  const tvsk::ApiResponse response = outcome.deferred ? outcome.deferred() : outcome.response;
  switch (response.status) {
    case 200: case 400: case 401: case 404: case 405: break;
    default: std::abort();
  }
  if (response.contentType == "application/json" &&
      nlohmann::json::parse(response.body, nullptr, false).is_discarded()) {
    std::abort();
  }
  return 0;
}
