#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tvsk {

// The one text form of JSON that the engine and its plug-ins hand each other and their clients:
// compact (no blanks or line breaks), members in the document's sorted order, and strings that
// are not valid UTF-8 (device pages and SAP peers send such bytes) written with U+FFFD instead
// of making serialisation throw.
[[nodiscard]] inline std::string compactJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tvsk
