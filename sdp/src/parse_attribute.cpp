#include <string>

#include "log/plugin_log.h"
#include "sdp/src/attribute.h"
#include "sdp/src/log_text.h"
#include "sdp/src/text_fields.h"

namespace sdp {

namespace {

constexpr uint32_t kLogError = 3;
constexpr text::separator_set kBlanks = " \t";
constexpr text::separator_set kBlank = " ";
constexpr text::separator_set kFramecountSeparators = " \t-";
constexpr text::separator_set kMidiPre2Separators = "; ";
constexpr text::separator_set kMediaclkSeparators = " \t=";
constexpr text::separator_set kRefclkSeparators = " \t-:=";

// The rules that a value can fail besides a number conversion; each has its own log line.
enum class mismatch { midi_pre, midi_pre_first_part, midi_pre2, mediaclk, ts_refclk, group, source_filter };

struct rule_mismatch {
  mismatch kind;
};

// A number or a required field that is not there; logged as an exception line.
struct conversion_error {};

void log_mismatch(mismatch kind, std::string_view value) {
  const std::string text = printable(value);
  const char* const v = text.c_str();
  switch (kind) {
    case mismatch::midi_pre: writeLog(kLogError, "attribute", __LINE__, "midi-pre attribute invalid: %s\n", v); break;
    case mismatch::midi_pre_first_part:
      writeLog(kLogError, "attribute", __LINE__, "2. midi-pre attribute invalid: %s\n", v);
      break;
    case mismatch::midi_pre2: writeLog(kLogError, "attribute", __LINE__, "midi-pre2 attribute invalid: %s\n", v); break;
    case mismatch::mediaclk: writeLog(kLogError, "attribute", __LINE__, "mediaclk attribute invalid: %s\n", v); break;
    case mismatch::ts_refclk: writeLog(kLogError, "attribute", __LINE__, "ts-refclk attribute invalid: %s\n", v); break;
    case mismatch::group:
      writeLog(kLogError, "attribute", __LINE__, "group attribute invalid or not supported: %s\n", v);
      break;
    case mismatch::source_filter:
      writeLog(kLogError, "attribute", __LINE__, "source-filter attribute invalid or not supported: %s\n", v);
      break;
  }
}

template <typename T>
T converted(std::optional<T> number) {
  if (!number) {
    throw conversion_error{};
  }
  return *number;
}

std::string_view field(const text::field_list& fields, std::size_t index) {
  if (index >= fields.size()) {
    throw conversion_error{};
  }
  return fields[index];
}

std::shared_ptr<attribute> parse_rtpmap(std::string_view value) {
  const auto fields = text::split_fields(value, kBlanks);
  const uint16_t payload_type = converted(text::to_uint16(field(fields, 0)));
  const auto parts = text::split_parts(field(fields, 1), '/');
  // Without a "/" there is no clock rate to take. Either text may be empty: both are kept as
  // written, and the clock rate is read as a number only by whoever uses it.
  if (parts.size() < 2) {
    throw conversion_error{};
  }
  std::optional<uint16_t> channels;
  if (parts.size() > 2) {
    channels = converted(text::to_uint16(parts[2]));
  }
  return std::make_shared<rtpmap_attribute>(payload_type, std::string(parts[0]), std::string(parts[1]), channels);
}

std::shared_ptr<attribute> parse_framecount(std::string_view value) {
  const auto fields = text::split_fields(value, kFramecountSeparators);
  const uint32_t minimum = converted(text::to_uint32(field(fields, 0)));
  const uint32_t maximum = fields.size() > 1 ? converted(text::to_uint32(fields[1])) : minimum;
  return std::make_shared<framecount_attribute>(minimum, maximum);
}

std::shared_ptr<attribute> parse_midi_pre(std::string_view value) {
  const auto parts = text::split_parts(value, ';');
  if (parts.size() != 2) {
    throw rule_mismatch{mismatch::midi_pre};
  }
  const auto numbers = text::split_fields(parts[0], kBlank);
  uint16_t first = midi_pre_attribute::kFirstAbsent;
  uint32_t second = 0;
  if (numbers.size() == 1) {
    second = converted(text::to_uint32(numbers[0]));
  } else if (numbers.size() == 2) {
    first = converted(text::to_uint16(numbers[0]));
    second = converted(text::to_uint32(numbers[1]));
  } else {
    throw rule_mismatch{mismatch::midi_pre_first_part};
  }
  std::vector<uint32_t> list;
  for (const auto number : text::split_fields(parts[1], kBlank)) {
    list.push_back(converted(text::to_uint32(number)));
  }
  return std::make_shared<midi_pre_attribute>(first, second, std::move(list));
}

std::shared_ptr<attribute> parse_midi_pre2(std::string_view value) {
  const auto fields = text::split_fields(value, kMidiPre2Separators);
  if (fields.size() < 2) {
    throw rule_mismatch{mismatch::midi_pre2};
  }
  const uint16_t first = converted(text::to_uint16(fields[0]));
  std::vector<midi_pre2_attribute::pair> pairs;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const auto xy = text::split_parts(fields[i], ',');
    const auto x = xy.size() == 2 ? text::to_uint32(xy[0]) : std::nullopt;
    const auto y = xy.size() == 2 ? text::to_uint32(xy[1]) : std::nullopt;
    pairs.push_back(x && y ? midi_pre2_attribute::pair{*x, *y} : midi_pre2_attribute::kBadPair);
  }
  return std::make_shared<midi_pre2_attribute>(first, std::move(pairs));
}

std::shared_ptr<attribute> parse_mediaclk(std::string_view value) {
  const auto fields = text::split_fields(value, kMediaclkSeparators);
  if (fields.size() < 2) {
    throw rule_mismatch{mismatch::mediaclk};
  }
  return std::make_shared<AES67_mediaclk_attribute>(converted(text::to_uint32(fields[1])));
}

std::shared_ptr<attribute> parse_ts_refclk(std::string_view value) {
  constexpr std::size_t kFirstIdentityField = 3;
  constexpr std::size_t kIdentityBytes = 8;
  const auto fields = text::split_fields(value, kRefclkSeparators);
  if (fields.size() == 2 && fields[0] == "ptp" && fields[1] == "traceable") {
    return std::make_shared<AES67_ts_refclk_attribute>(true, 0, 0);
  }
  std::string_view domain;
  if (fields.size() == 12) {
    domain = fields[11];
  } else if (fields.size() == 14 && fields[11] == "domain" && fields[12] == "nmbr") {
    domain = fields[13];
  } else {
    throw rule_mismatch{mismatch::ts_refclk};
  }
  uint64_t identity = 0;
  for (std::size_t k = 0; k < kIdentityBytes; ++k) {
    identity |= uint64_t{converted(text::hex_byte(fields[kFirstIdentityField + k]))} << (8 * k);
  }
  return std::make_shared<AES67_ts_refclk_attribute>(false, converted(text::to_uint32(domain)), identity);
}

std::shared_ptr<attribute> parse_group(std::string_view value) {
  const auto fields = text::split_fields(value, kBlanks);
  if (fields.size() != 3 || fields[0] != "DUP") {
    throw rule_mismatch{mismatch::group};
  }
  return std::make_shared<group_attribute>(std::string(fields[1]), std::string(fields[2]));
}

std::shared_ptr<attribute> parse_source_filter(std::string_view value) {
  const auto fields = text::split_fields(value, kBlanks);
  if (fields.size() != 5) {
    throw rule_mismatch{mismatch::source_filter};
  }
  auto filter =
      std::make_shared<source_filter_attribute>(std::string(fields[0]), std::string(fields[1]), std::string(fields[2]),
                                                std::string(fields[3]), std::string(fields[4]));
  if (!filter->valid()) {
    throw rule_mismatch{mismatch::source_filter};
  }
  return filter;
}

// The typed attribute for a known name, or null for any other name.
std::shared_ptr<attribute> parse_known(std::string_view name, std::string_view value) {
  if (name == "rtpmap") {
    return parse_rtpmap(value);
  }
  if (name == "sync-time") {
    return std::make_shared<sync_time_attribute>(converted(text::to_uint32(value)));
  }
  if (name == "framecount") {
    return parse_framecount(value);
  }
  if (name == "midi-pre") {
    return parse_midi_pre(value);
  }
  if (name == "midi-pre2") {
    return parse_midi_pre2(value);
  }
  if (name == "palign") {
    return std::make_shared<palign_attribute>(converted(text::to_uint32(field(text::split_fields(value, kBlanks), 0))));
  }
  if (name == "ptime") {
    return std::make_shared<AES67_ptime_attribute>(
        converted(text::to_float(field(text::split_fields(value, kBlanks), 0))));
  }
  if (name == "maxptime") {
    return std::make_shared<AES67_maxptime_attribute>(
        converted(text::to_float(field(text::split_fields(value, kBlanks), 0))));
  }
  if (name == "mediaclk") {
    return parse_mediaclk(value);
  }
  if (name == "ts-refclk") {
    return parse_ts_refclk(value);
  }
  if (name == "ASIO-clock") {
    return std::make_shared<ASIO_clock_attribute>(converted(text::to_uint16(value)));
  }
  if (name == "group") {
    return parse_group(value);
  }
  if (name == "source-filter") {
    return parse_source_filter(value);
  }
  return nullptr;
}

std::shared_ptr<attribute> invalid(std::string_view name, std::string_view value) {
  return std::make_shared<basic_attribute>(std::string(name), std::string(value), false);
}

}  // namespace

std::shared_ptr<attribute> parse_attribute(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return std::make_shared<basic_attribute>(std::string(text), std::string());
  }
  const std::string_view name = text.substr(0, colon);
  const std::string_view value = text.substr(colon + 1);
  try {
    if (auto typed = parse_known(name, value)) {
      return typed;
    }
    return std::make_shared<basic_attribute>(std::string(name), std::string(value));
  } catch (const rule_mismatch& failure) {
    log_mismatch(failure.kind, value);
  } catch (...) {
    writeLog(kLogError, "attribute", __LINE__, "exception: %s attribute invalid: %s\n", printable(name).c_str(),
             printable(value).c_str());
  }
  return invalid(name, value);
}

}  // namespace sdp
