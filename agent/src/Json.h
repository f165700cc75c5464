#pragma once

// Include this (not rapidjson directly) for the agent's JSON types.
#include "agent/src/JsonAssert.h"

#include <rapidjson/document.h>

#include "agent/src/JsonAllocator.h"

namespace lmr {

using Value = rapidjson::GenericValue<rapidjson::UTF8<>, MemoryPoolAllocator>;
// Each document owns its own allocator: 65536 pooled bytes from its creation on.
using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, MemoryPoolAllocator, rapidjson::CrtAllocator>;

// Member lookup that never stops the program: on a value that is not an object it prints
// "not an object [<name>]", for a missing member "rapidJson: member <name> not found; please fix
// it!", and either way yields a shared null value, which callers must treat as read-only.
[[nodiscard]] const Value& member(const Value& object, const char* name);

}  // namespace lmr
