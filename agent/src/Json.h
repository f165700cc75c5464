#pragma once

// Include this (not rapidjson directly) for the agent's JSON types.
#include "agent/src/JsonAssert.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>

#include "agent/src/JsonAllocator.h"

namespace lmr {

using Value = rapidjson::GenericValue<rapidjson::UTF8<>, MemoryPoolAllocator>;
// Each document owns its own allocator: 65536 pooled bytes from its creation on. Its parse
// stack throws std::bad_alloc when the heap runs out, as the pool does.
using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, MemoryPoolAllocator, JsonHeapAllocator>;
// Text output whose buffer and nesting stack throw std::bad_alloc when the heap runs out.
using JsonStringBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, JsonHeapAllocator>;
using JsonCompactWriter = rapidjson::Writer<JsonStringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, JsonHeapAllocator>;

// Deepest nesting of arrays and objects accepted in a JSON text the agent reads. Writing or
// copying a value recurses once per level, so deeper texts are refused like malformed ones.
inline constexpr unsigned kMaxJsonDepth = 128;

namespace detail {

// Passes SAX events on to a document and stops the parse at a level deeper than kMaxJsonDepth.
class DepthLimitedHandler {
 public:
  explicit DepthLimitedHandler(Document& document) : document_(document) {}

  bool Null() { return document_.Null(); }
  bool Bool(bool value) { return document_.Bool(value); }
  bool Int(int value) { return document_.Int(value); }
  bool Uint(unsigned value) { return document_.Uint(value); }
  bool Int64(int64_t value) { return document_.Int64(value); }
  bool Uint64(uint64_t value) { return document_.Uint64(value); }
  bool Double(double value) { return document_.Double(value); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool copy) {
    return document_.RawNumber(text, length, copy);
  }
  bool String(const char* text, rapidjson::SizeType length, bool copy) { return document_.String(text, length, copy); }
  bool Key(const char* text, rapidjson::SizeType length, bool copy) { return document_.Key(text, length, copy); }
  bool StartObject() { return enter() && document_.StartObject(); }
  bool EndObject(rapidjson::SizeType members) { return leave() && document_.EndObject(members); }
  bool StartArray() { return enter() && document_.StartArray(); }
  bool EndArray(rapidjson::SizeType elements) { return leave() && document_.EndArray(elements); }

 private:
  bool enter() { return ++depth_ <= kMaxJsonDepth; }
  bool leave() {
    --depth_;
    return true;
  }

  Document& document_;
  unsigned depth_ = 0;
};

}  // namespace detail

// Parses one whole JSON text from stream into document, without recursion. False, and the
// document left as it was, when the text does not parse or nests deeper than kMaxJsonDepth.
// Throws std::bad_alloc when the heap runs out.
template <typename InputStream>
bool parseBounded(Document& document, InputStream& stream) {
  bool parsed = false;
  auto generator = [&stream, &parsed](Document& target) {
    detail::DepthLimitedHandler handler(target);
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, JsonHeapAllocator> reader;
    parsed = !reader.Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag>(stream, handler).IsError();
    return parsed;
  };
  document.Populate(generator);
  return parsed;
}

// Member lookup that never stops the program: on a value that is not an object it prints
// "not an object [<name>]", for a missing member "rapidJson: member <name> not found; please fix
// it!", and either way yields a shared null value, which callers must treat as read-only.
[[nodiscard]] const Value& member(const Value& object, const char* name);

}  // namespace lmr
