#include "StatePath.h"

#include <cerrno>
#include <cstdlib>

namespace tvsk {
namespace {

constexpr std::size_t kMaxPathSteps = 64;
// Enough digits for any long long; longer numbers are refused before conversion.
constexpr std::size_t kMaxIntegerText = 19;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<long long> parseInteger(std::string_view text) {
  if (text.empty() || text.size() > kMaxIntegerText) {
    return std::nullopt;
  }
  const std::size_t start = text[0] == '-' ? 1 : 0;
  if (start == text.size()) {
    return std::nullopt;
  }
  for (std::size_t i = start; i < text.size(); ++i) {
    if (!isDigit(text[i])) {
      return std::nullopt;
    }
  }
  const std::string copy(text);
  errno = 0;
  const long long value = std::strtoll(copy.c_str(), nullptr, 10);
  if (errno != 0) {
    return std::nullopt;
  }
  return value;
}

// One step read from a path text: the step and where the next one begins, or why it failed.
struct StepRead {
  std::optional<StatePath::Step> step;
  std::size_t next = 0;
  std::string error;
};

StepRead refused(std::string error) { return {std::nullopt, 0, std::move(error)}; }

// "?(@.Key==value)" without the brackets.
StepRead readFilter(std::string_view inner, std::size_t next) {
  constexpr std::string_view kOpen = "?(@.";
  if (inner.substr(0, kOpen.size()) != kOpen || inner.size() < kOpen.size() + 1 || inner.back() != ')') {
    return refused("a filter reads [?(@.Key==value)]");
  }
  const std::string_view condition = inner.substr(kOpen.size(), inner.size() - kOpen.size() - 1);
  const std::size_t equals = condition.find("==");
  if (equals == std::string_view::npos || equals == 0) {
    return refused("a filter compares a key with == and a value");
  }
  StatePath::Step step;
  step.kind = StatePath::Step::Kind::Filter;
  step.name = std::string(condition.substr(0, equals));
  const std::string_view value = condition.substr(equals + 2);
  if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"') && value.back() == value.front()) {
    step.value = std::string(value.substr(1, value.size() - 2));
  } else if (const auto number = parseInteger(value)) {
    step.value = *number;
  } else {
    return refused("a filter's value is an integer or a quoted text");
  }
  return {std::move(step), next, {}};
}

// The step that begins at `at` (a '.' or a '[').
StepRead readStep(std::string_view text, std::size_t at) {
  if (text[at] == '.') {
    const std::size_t end = text.find_first_of(".[", at + 1);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    if (stop == at + 1) {
      return refused("empty member name at " + std::to_string(at));
    }
    StatePath::Step step;
    step.name = std::string(text.substr(at + 1, stop - at - 1));
    return {std::move(step), stop, {}};
  }
  if (text[at] != '[') {
    return refused("expected . or [ at " + std::to_string(at));
  }
  const std::size_t close = text.find(']', at + 1);
  if (close == std::string_view::npos) {
    return refused("[ without ] at " + std::to_string(at));
  }
  const std::string_view inner = text.substr(at + 1, close - at - 1);
  if (!inner.empty() && inner[0] == '?') {
    return readFilter(inner, close + 1);
  }
  const auto index = parseInteger(inner);
  if (!index || *index < 0 || inner[0] == '-') {
    return refused("an index is a whole number from 0, at " + std::to_string(at));
  }
  StatePath::Step step;
  step.kind = StatePath::Step::Kind::Index;
  step.index = static_cast<std::size_t>(*index);
  return {std::move(step), close + 1, {}};
}

bool sameValue(const Json& member, const Json& wanted) {
  if (wanted.is_string()) {
    return member.is_string() && member.get_ref<const std::string&>() == wanted.get_ref<const std::string&>();
  }
  if (member.is_number_integer()) {
    return member.get<long long>() == wanted.get<long long>();
  }
  if (member.is_number_unsigned()) {
    const long long wantedValue = wanted.get<long long>();
    return wantedValue >= 0 && member.get<unsigned long long>() == static_cast<unsigned long long>(wantedValue);
  }
  return false;
}

// The value one step leads to from `at`, or null.
const Json* stepInto(const Json& at, const StatePath::Step& step) {
  switch (step.kind) {
    case StatePath::Step::Kind::Member: {
      if (!at.is_object()) return nullptr;
      const auto found = at.find(step.name);
      return found == at.end() ? nullptr : &*found;
    }
    case StatePath::Step::Kind::Index: return at.is_array() && step.index < at.size() ? &at[step.index] : nullptr;
    case StatePath::Step::Kind::Filter:
      if (!at.is_array()) return nullptr;
      for (const Json& element : at) {
        if (!element.is_object()) continue;
        const auto member = element.find(step.name);
        if (member != element.end() && sameValue(*member, step.value)) return &element;
      }
      return nullptr;
  }
  return nullptr;
}

}  // namespace

ParsedStatePath StatePath::parse(std::string_view text) {
  if (text.empty() || text[0] != '$') {
    return {std::nullopt, "a path begins with $"};
  }
  StatePath path;
  for (std::size_t at = 1; at < text.size();) {
    if (path.steps_.size() == kMaxPathSteps) {
      return {std::nullopt, "more than " + std::to_string(kMaxPathSteps) + " steps"};
    }
    StepRead read = readStep(text, at);
    if (!read.step) {
      return {std::nullopt, std::move(read.error)};
    }
    path.steps_.push_back(std::move(*read.step));
    at = read.next;
  }
  return {std::move(path), {}};
}

const Json* StatePath::resolve(const Json& document) const {
  const Json* at = &document;
  for (const Step& step : steps_) {
    at = stepInto(*at, step);
    if (at == nullptr) {
      return nullptr;
    }
  }
  return at;
}

}  // namespace tvsk
