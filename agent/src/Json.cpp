#include "agent/src/Json.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace lmr {

void jsonAssertFailed(const char* condition) {
  throw std::runtime_error(std::string("rapidjson: assertion failed: ") + condition);
}

namespace {

const Value& sharedNull() {
  static const Value null;
  return null;
}

}  // namespace

const Value& member(const Value& object, const char* name) {
  if (!object.IsObject()) {
    std::printf("not an object [%s]\n", name);
    std::fflush(stdout);
    return sharedNull();
  }
  const auto found = object.FindMember(name);
  if (found == object.MemberEnd()) {
    std::printf("rapidJson: member %s not found; please fix it!\n", name);
    std::fflush(stdout);
    return sharedNull();
  }
  return found->value;
}

}  // namespace lmr
