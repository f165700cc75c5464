#pragma once

#include <cstdio>
#include <cstdlib>
#include <typeinfo>

#include "sdp/src/attribute.h"

namespace sdp_fuzz {

// A broken invariant is a finding: report it and abort so both libFuzzer and the replay stop.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) {
    fail(what);
  }
}

// A valid attribute written back as "name:value" parses again to the same class and texts.
inline void check_round_trip(const sdp::attribute& original) {
  if (!original.valid()) {
    return;
  }
  const auto again = sdp::parse_attribute(sdp::attribute_text(original));
  require(again != nullptr, "parse_attribute returned null");
  require(again->valid(), "written attribute does not parse again");
  const sdp::attribute& reparsed = *again;
  require(typeid(reparsed) == typeid(original), "written attribute parses to another class");
  require(again->name() == original.name(), "name changed on the round trip");
  require(again->value() == original.value(), "value changed on the round trip");
}

}  // namespace sdp_fuzz
