#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "JsonText.h"

namespace tvsk {

struct ParsedStatePath;

// A path into the state document: "$" is the whole document; ".Name" steps into an object
// member, "[n]" into an array element, "[?(@.Key==value)]" into the first array element whose
// member Key equals value (an integer, or a text in single or double quotes) -- the form the
// device plug-in's change records use, e.g. "$.Devices[?(@.Id==7)].Receivers".
class StatePath {
 public:
  struct Step {
    enum class Kind { Member, Index, Filter };
    Kind kind = Kind::Member;
    std::string name;       // member name, or the filter's key
    std::size_t index = 0;  // array index
    Json value;             // the filter's value
  };

  // The path, or why the text is not one.
  [[nodiscard]] static ParsedStatePath parse(std::string_view text);

  // The value the path names in `document`, or null when there is none.
  [[nodiscard]] const Json* resolve(const Json& document) const;

  [[nodiscard]] const std::vector<Step>& steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

struct ParsedStatePath {
  std::optional<StatePath> path;
  // Why the text was refused; empty when it parsed.
  std::string error;
};

}  // namespace tvsk
