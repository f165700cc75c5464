// Fuzz entry for the attribute factory: any text after "a=".
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/sdp/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = sdp::parse_attribute(text);
  sdp_fuzz::require(parsed != nullptr, "parse_attribute returned null");
  sdp_fuzz::check_round_trip(*parsed);
  return 0;
}
