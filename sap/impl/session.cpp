#include "sap/impl/session.h"

#include <array>

namespace sap {

namespace {

constexpr std::string_view kOriginPrefix = "o=";
constexpr size_t kOriginFields = 6;
constexpr size_t kVersionField = 2;

std::string_view origin_line(std::string_view sdp) {
  size_t at = 0;
  while (at < sdp.size()) {
    size_t end = sdp.find('\n', at);
    if (end == std::string_view::npos) {
      end = sdp.size();
    }
    std::string_view line = sdp.substr(at, end - at);
    while (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.substr(0, kOriginPrefix.size()) == kOriginPrefix) {
      return line.substr(kOriginPrefix.size());
    }
    at = end + 1;
  }
  return {};
}

}  // namespace

origin_identity sdp_origin_identity(std::string_view sdp) {
  const std::string_view line = origin_line(sdp);
  std::array<std::string_view, kOriginFields> fields;
  size_t count = 0;
  size_t at = 0;
  while (count < kOriginFields) {
    at = line.find_first_not_of(' ', at);
    if (at == std::string_view::npos) {
      break;
    }
    size_t end = line.find(' ', at);
    if (end == std::string_view::npos) {
      end = line.size();
    }
    fields[count++] = line.substr(at, end - at);
    at = end;
  }
  if (count < kOriginFields) {
    return {};
  }
  origin_identity identity;
  identity.version = fields[kVersionField];
  for (size_t k = 0; k < kOriginFields; ++k) {
    if (k != kVersionField) {
      identity.session.append(fields[k]);
      identity.session += ' ';
    }
  }
  return identity;
}

}  // namespace sap
