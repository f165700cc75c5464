#include "plugins/annwatch/entry_json.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace annwatch {

namespace {

constexpr const char* kStartId = "StartId";
constexpr const char* kListAddress = "ListAddress";

// The member's value as an integer in [low, high]; std::nullopt when it is not a number or bool.
template <typename Integer>
std::optional<Integer> integer_value(const nlohmann::json& value) {
  constexpr auto low = std::numeric_limits<Integer>::min();
  constexpr auto high = std::numeric_limits<Integer>::max();
  if (value.is_boolean()) {
    return static_cast<Integer>(value.get<bool>() ? 1 : 0);
  }
  if (value.is_number_unsigned()) {
    const auto number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(high)) return std::nullopt;
    return static_cast<Integer>(number);
  }
  if (value.is_number_integer()) {
    const auto number = value.get<int64_t>();
    const bool fits =
        number < 0 ? number >= static_cast<int64_t>(low) : static_cast<uint64_t>(number) <= static_cast<uint64_t>(high);
    if (!fits) return std::nullopt;
    return static_cast<Integer>(number);
  }
  if (value.is_number_float()) {
    const double number = std::trunc(value.get<double>());
    // 2^64 and 2^31 are exact doubles; the range check keeps the cast defined.
    if (!(number >= static_cast<double>(low)) || !(number < static_cast<double>(high) + 1.0)) return std::nullopt;
    return static_cast<Integer>(number);
  }
  return std::nullopt;
}

}  // namespace

int32_t read_start_id(std::string_view create_json) {
  const nlohmann::json document = nlohmann::json::parse(create_json);
  if (!document.is_object() || !document.contains(kStartId)) {
    std::cerr << "SAP DISCOVERY: StartId missing, starting at 0" << std::endl;
    return 0;
  }
  const auto start_id = integer_value<int32_t>(document[kStartId]);
  if (!start_id) {
    throw std::runtime_error("Not an int");
  }
  return *start_id;
}

uint64_t read_list_address(std::string_view start_json) {
  const nlohmann::json document = nlohmann::json::parse(start_json);
  if (!document.is_object() || !document.contains(kListAddress)) {
    return 0;
  }
  const auto address = integer_value<uint64_t>(document[kListAddress]);
  if (!address) {
    throw std::runtime_error("Not an unsigned integer");
  }
  return *address;
}

}  // namespace annwatch
