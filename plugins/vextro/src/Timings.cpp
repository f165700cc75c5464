#include "plugins/vextro/src/Timings.h"

#include <cstdlib>
#include <sstream>

namespace Vextro {

Timings Timings::Parse(const std::string& text) {
  Timings timings;
  std::istringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    const auto equals = item.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    const std::string key = item.substr(0, equals);
    const std::string number = item.substr(equals + 1);
    char* end = nullptr;
    const long long value = std::strtoll(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || value < 0) {
      continue;
    }
    const std::chrono::milliseconds ms(value);
    if (key == "period") timings.refreshPeriod = ms;
    else if (key == "poll") timings.autoConfigurePoll = ms;
    else if (key == "limit") timings.autoConfigureLimit = ms;
    else if (key == "connect") timings.connectTimeout = ms;
    else if (key == "request") timings.requestTimeout = ms;
  }
  return timings;
}

Timings Timings::FromEnvironment() {
  const char* text = std::getenv(kTimingsEnvironmentVariable);
  return text != nullptr ? Parse(text) : Timings{};
}

}  // namespace Vextro
