#include "StatePath.h"

#include <cerrno>
#include <cstdlib>

namespace tvsk {
namespace {

constexpr std::size_t kMaxPathSteps = 64;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<long long> parseInteger(std::string_view text) {
  if (text.empty() || text.size() > 19) {
    return std::nullopt;
  }
  std::size_t start = text[0] == '-' ? 1 : 0;
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

// "?(@.Key==value)" without the brackets.
std::optional<StatePath::Step> parseFilter(std::string_view inner) {
  constexpr std::string_view kOpen = "?(@.";
  if (inner.substr(0, kOpen.size()) != kOpen || inner.size() < kOpen.size() + 1 || inner.back() != ')') {
    return std::nullopt;
  }
  const std::string_view condition = inner.substr(kOpen.size(), inner.size() - kOpen.size() - 1);
  const std::size_t equals = condition.find("==");
  if (equals == std::string_view::npos || equals == 0) {
    return std::nullopt;
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
    return std::nullopt;
  }
  return step;
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

}  // namespace

std::optional<StatePath> StatePath::parse(std::string_view text) {
  if (text.empty() || text[0] != '$') {
    return std::nullopt;
  }
  StatePath path;
  std::size_t at = 1;
  while (at < text.size()) {
    if (path.steps_.size() == kMaxPathSteps) {
      return std::nullopt;
    }
    if (text[at] == '.') {
      const std::size_t end = text.find_first_of(".[", at + 1);
      const std::size_t stop = end == std::string_view::npos ? text.size() : end;
      if (stop == at + 1) {
        return std::nullopt;
      }
      Step step;
      step.name = std::string(text.substr(at + 1, stop - at - 1));
      path.steps_.push_back(std::move(step));
      at = stop;
    } else if (text[at] == '[') {
      const std::size_t close = text.find(']', at + 1);
      if (close == std::string_view::npos) {
        return std::nullopt;
      }
      const std::string_view inner = text.substr(at + 1, close - at - 1);
      if (!inner.empty() && inner[0] == '?') {
        auto step = parseFilter(inner);
        if (!step) {
          return std::nullopt;
        }
        path.steps_.push_back(std::move(*step));
      } else {
        const auto index = parseInteger(inner);
        if (!index || *index < 0 || inner[0] == '-') {
          return std::nullopt;
        }
        Step step;
        step.kind = Step::Kind::Index;
        step.index = static_cast<std::size_t>(*index);
        path.steps_.push_back(std::move(step));
      }
      at = close + 1;
    } else {
      return std::nullopt;
    }
  }
  return path;
}

const Json* StatePath::resolve(const Json& document) const {
  const Json* at = &document;
  for (const Step& step : steps_) {
    switch (step.kind) {
      case Step::Kind::Member: {
        if (!at->is_object()) {
          return nullptr;
        }
        const auto found = at->find(step.name);
        if (found == at->end()) {
          return nullptr;
        }
        at = &*found;
        break;
      }
      case Step::Kind::Index:
        if (!at->is_array() || step.index >= at->size()) {
          return nullptr;
        }
        at = &(*at)[step.index];
        break;
      case Step::Kind::Filter: {
        if (!at->is_array()) {
          return nullptr;
        }
        const Json* match = nullptr;
        for (const Json& element : *at) {
          if (element.is_object()) {
            const auto member = element.find(step.name);
            if (member != element.end() && sameValue(*member, step.value)) {
              match = &element;
              break;
            }
          }
        }
        if (match == nullptr) {
          return nullptr;
        }
        at = match;
        break;
      }
    }
  }
  return at;
}

}  // namespace tvsk
