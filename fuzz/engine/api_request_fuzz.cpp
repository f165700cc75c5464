// Bytes as one HTTP request to the engine: read through the server's own request reader with its
// limits (chunked bodies and trailers included, in reads of the server's size), then answered by
// the API router over a small state document (deferred work answers inline). Checks that nothing
// throws, that every answer is a known status and that JSON answers are JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include <algorithm>
#include <cstring>

#include "engine/src/ApiRouter.h"
#include "engine/src/HttpServer.h"
#include "engine/src/RequestReader.h"
#include "engine/src/StateDocument.h"
#include "engine/tests/InlineReply.h"

namespace {

tvsk::StateDocument& sampleState() {
  static tvsk::StateDocument* state = [] {
    auto* document = new tvsk::StateDocument();
    document->setRole(3);
    document->setPlugins({{"vextro", 1, 4}, {"annwatch", 0, 3}});
    document->setPluginDirectories({"/plugins"});
    document->setDevice(
        1,
        nlohmann::json::parse(
            R"({"Identity":{"Name":"Box"},"Network":{"Interfaces":[{"Address":"10.0.0.2"}]},)"
            R"("IOGroups":[{"Status":{"SampleRate":48000}}],"Streamers":[{"Id":0,"Name":"S"}],)"
            R"("Receivers":[{"Id":2,"Name":"R","Status":{"StreamDescription":{"Address":"239.1.1.1","Port":5004}}}]})"));
    document->applyStreamMessage(
        R"({"Action":"Add","Id":0,"Payload":{"Name":"<b>","Ip":"10.0.0.9","DestinationIp":)"
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
    hooks.deviceAction = [](uint32_t id, tvsk::DeviceActionRequest request) {
      if (request.actions.empty() || request.actions.front() != '[') std::abort();  // the router passes an array
      if (id != 1) return tvsk::ActionAdmission::UnknownDevice;
      request.done(0);
      return tvsk::ActionAdmission::Queued;
    };
    return new tvsk::ApiRouter(sampleState(), hooks);
  }();
  return *instance;
}

// Feeds the bytes as the server's reads would, up to the end of the first request.
bool readRequest(tvsk::RequestReader& reader, const uint8_t* data, size_t size) {
  size_t used = 0;
  for (;;) {
    switch (reader.parse()) {
      case tvsk::RequestReader::Progress::Complete: return true;
      case tvsk::RequestReader::Progress::HeaderDone: continue;
      case tvsk::RequestReader::Progress::NeedMore: break;
      default: return false;
    }
    if (used == size) {
      return false;  // the peer went away mid-request
    }
    const auto room = reader.prepare();
    if (room.size() == 0) std::abort();  // the reader must bound itself before its buffer fills
    const size_t step = std::min(room.size(), size - used);
    std::memcpy(room.data(), data + used, step);
    reader.commit(step);
    used += step;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const tvsk::HttpServerOptions limits;
  tvsk::RequestReader reader(limits.headerLimit, limits.bodyLimit);
  if (!readRequest(reader, data, size)) {
    return 0;
  }
  auto& message = reader.request();
  tvsk::ApiRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  request.authorization = std::string(message[boost::beast::http::field::authorization]);
  request.body = message.body();
  const tvsk::ApiResponse response = engine_test::answerOf(router().handle(request));
  switch (response.status) {
    case 200:
    case 400:
    case 401:
    case 404:
    case 405: break;
    default: std::abort();
  }
  if (response.contentType == "application/json" &&
      nlohmann::json::parse(response.body, nullptr, false).is_discarded()) {
    std::abort();
  }
  return 0;
}
