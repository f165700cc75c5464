#pragma once

#include <cstdint>
#include <string_view>

namespace annwatch {

// First stream Id from the create JSON {"StartId": n}: a float is cut toward zero, true and false
// count as 1 and 0. Missing (or not an object) gives 0 with a line on the standard error.
// Throws std::runtime_error "Not an int" for another type or a value beyond 32 bits, and
// nlohmann's parse error for a text that is no JSON.
[[nodiscard]] int32_t read_start_id(std::string_view create_json);

// The engine's AddressFilterList address from the start JSON {"ListAddress": n}, 0 when missing.
// Throws std::runtime_error "Not an unsigned integer" for another type or a negative value.
[[nodiscard]] uint64_t read_list_address(std::string_view start_json);

}  // namespace annwatch
