#include "plugins/vextro/src/JsonCompat.h"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Vextro {
namespace {

// A float truncated towards zero, when the result fits int64 (otherwise casting would be UB).
std::optional<int64_t> TruncatedFloat(double value) {
  if (!std::isfinite(value)) {
    return std::nullopt;
  }
  const double truncated = std::trunc(value);
  if (truncated < -9223372036854775808.0 || truncated >= 9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(truncated);
}

std::optional<uint64_t> RawBits(const Json& value) {
  if (value.is_number_unsigned()) {
    return value.get<uint64_t>();
  }
  if (value.is_number_integer()) {
    return static_cast<uint64_t>(value.get<int64_t>());
  }
  if (value.is_number_float()) {
    if (auto truncated = TruncatedFloat(value.get<double>())) {
      return static_cast<uint64_t>(*truncated);
    }
    return std::nullopt;
  }
  if (value.is_boolean()) {
    return value.get<bool>() ? 1U : 0U;
  }
  return std::nullopt;
}

bool NestedDeeperThan(const Json& document, std::size_t limit) {
  std::vector<std::pair<const Json*, std::size_t>> pending = {{&document, 1}};
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) {
      continue;
    }
    if (depth > limit) {
      return true;
    }
    for (const Json& child : *value) {
      pending.emplace_back(&child, depth + 1);
    }
  }
  return false;
}

}  // namespace

Json ParseJsonDocument(const std::string& text) {
  Json document = Json::parse(text);
  if (NestedDeeperThan(document, kMaxJsonDepth)) {
    throw std::runtime_error("document nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  return document;
}

std::string AsText(const Json& value) { return value.is_string() ? value.get<std::string>() : DumpCompact(value); }

uint32_t AsUInt32Like(const Json& value) {
  if (auto bits = RawBits(value)) {
    return static_cast<uint32_t>(*bits);
  }
  throw std::runtime_error("Not an unsigned int");
}

int32_t AsInt32Like(const Json& value) {
  if (auto bits = RawBits(value)) {
    return static_cast<int32_t>(static_cast<uint32_t>(*bits));
  }
  throw std::runtime_error("Not an int");
}

bool IsUnsignedInteger(const Json& value) {
  return value.is_number_integer() && (value.is_number_unsigned() || value.get<int64_t>() >= 0);
}

bool IsSignedInteger(const Json& value) {
  return value.is_number_integer() &&
         !(value.is_number_unsigned() &&
           value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
}

}  // namespace Vextro
