#include "plugins/vextro/src/Codecs.h"

#include <array>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include <boost/asio/ip/address_v4.hpp>

#include "plugins/vextro/src/PluginLog.h"

namespace Vextro {
namespace {

constexpr std::array<const char*, 4> kCodecNames = {"L16", "L24", "L32", "AM824"};
constexpr int32_t kDefaultCodec = 1;
constexpr int32_t kDefaultSampleRate = 44100;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Leading blanks, optional sign, decimal digits; the magnitude saturates just above 2^64.
struct DecimalPrefix {
  bool negative = false;
  bool hasDigits = false;
  bool overflow = false;  // magnitude does not fit 64 bits
  uint64_t magnitude = 0;
};

DecimalPrefix ReadDecimalPrefix(const std::string& text) {
  DecimalPrefix result;
  std::size_t i = 0;
  // Like the C library, stop at an embedded NUL.
  const std::size_t end = text.find('\0') == std::string::npos ? text.size() : text.find('\0');
  while (i < end && IsAsciiBlank(text[i])) ++i;
  if (i < end && (text[i] == '+' || text[i] == '-')) {
    result.negative = text[i] == '-';
    ++i;
  }
  for (; i < end && IsDigit(text[i]); ++i) {
    result.hasDigits = true;
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (result.magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      result.overflow = true;
    } else {
      result.magnitude = result.magnitude * 10 + digit;
    }
  }
  return result;
}

}  // namespace

bool IsAsciiBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string TrimBlanks(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsAsciiBlank(text[begin])) ++begin;
  while (end > begin && IsAsciiBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::vector<std::string> SplitFields(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = text.find(separator, begin);
    fields.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (end == std::string::npos) {
      return fields;
    }
    begin = end + 1;
  }
}

std::string UrlDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else if (c == '+') {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string UrlEncode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved =
        (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || IsDigit(c) || c == '-' || c == '.' || c == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

bool NeedsUrlEncoding(const std::string& name) {
  return EndsWith(name, "_DEVICE_NAME") || EndsWith(name, "_STREAM_NAME") ||
         (StartsWith(name, "CONFIG_PARAM_AUDIO_CLIENT_STREAM") && EndsWith(name, "_URL")) ||
         StartsWith(name, "CONNECT_SAP_PARAM_");
}

int32_t StoiLike(const std::string& text) {
  const DecimalPrefix prefix = ReadDecimalPrefix(text);
  if (!prefix.hasDigits) {
    throw std::invalid_argument("invalid stoi argument");
  }
  const uint64_t limit = prefix.negative ? 2147483648ULL : 2147483647ULL;
  if (prefix.overflow || prefix.magnitude > limit) {
    throw std::out_of_range("stoi argument out of range");
  }
  return prefix.negative ? static_cast<int32_t>(-static_cast<int64_t>(prefix.magnitude))
                         : static_cast<int32_t>(prefix.magnitude);
}

uint32_t StoulLike(const std::string& text) {
  const DecimalPrefix prefix = ReadDecimalPrefix(text);
  if (!prefix.hasDigits) {
    throw std::invalid_argument("invalid stoul argument");
  }
  if (prefix.overflow || prefix.magnitude > 0xFFFFFFFFULL) {
    throw std::out_of_range("stoul argument out of range");
  }
  const auto value = static_cast<uint32_t>(prefix.magnitude);
  return prefix.negative ? static_cast<uint32_t>(0U - value) : value;
}

int64_t AtollLike(const std::string& text) {
  const DecimalPrefix prefix = ReadDecimalPrefix(text);
  constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (prefix.negative) {
    if (prefix.overflow || prefix.magnitude > kMaxPositive) return std::numeric_limits<int64_t>::min();
    return -static_cast<int64_t>(prefix.magnitude);
  }
  if (prefix.overflow || prefix.magnitude > kMaxPositive) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(prefix.magnitude);
}

int32_t AtoiLike(const std::string& text) {
  const int64_t value = AtollLike(text);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

int32_t GetIntParameter(const ParameterMap& map, const std::string& name, int32_t fallback) {
  const auto found = map.find(name);
  if (found == map.end()) {
    Log("WARNING: Can't find configuration value for parameter: ", name);
    return fallback;
  }
  try {
    return StoiLike(found->second);
  } catch (const std::exception& error) {
    Log("WARNING: Caught '", error.what(), "' while trying to conver configuration value '", found->second,
        "' of parameter '", name, "'");
    return fallback;
  }
}

uint32_t GetUIntParameter(const ParameterMap& map, const std::string& name, uint32_t fallback) {
  const auto found = map.find(name);
  if (found == map.end()) {
    Log("WARNING: Can't find configuration value for parameter: ", name);
    return fallback;
  }
  try {
    return StoulLike(found->second);
  } catch (const std::exception& error) {
    Log("WARNING: Caught '", error.what(), "' while trying to convert configuration value '", found->second,
        "' of parameter '", name, "'");
    return fallback;
  }
}

std::string GetStringParameter(const ParameterMap& map, const std::string& name, const std::string& fallback) {
  const auto found = map.find(name);
  if (found == map.end()) {
    Log("WARNING: Can't find configuration value for parameter: ", name);
    return fallback;
  }
  return found->second;
}

uint32_t ParseUInt(const std::string& text, uint32_t fallback) {
  const std::string upToNul = text.substr(0, text.find('\0'));
  try {
    return StoulLike(upToNul);
  } catch (const std::exception& error) {
    Log("ERROR: failed to convert string: '", upToNul, "' to a uint number: ", error.what());
    return fallback;
  }
}

int32_t StreamCodecFromText(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const std::string key = TrimBlanks(upper);
  for (std::size_t code = 0; code < kCodecNames.size(); ++code) {
    if (key == kCodecNames[code]) {
      return static_cast<int32_t>(code);
    }
  }
  Log("ERROR: unexpected stream codec value: '", text, "'");
  return kDefaultCodec;
}

std::string StreamFormatToText(uint32_t code) {
  if (code < kCodecNames.size()) {
    return kCodecNames[code];
  }
  Log("ERROR: unexpected stream format value: '", code, "'");
  return kCodecNames[kDefaultCodec];
}

int32_t SampleRateFromBits(uint32_t rateQuad, uint32_t rateDouble, uint32_t base48) {
  if (rateQuad <= 1 && rateDouble <= 1 && base48 <= 1 && !(rateQuad == 1 && rateDouble == 1)) {
    const int32_t family = base48 == 1 ? 48000 : 44100;
    return family * (rateQuad == 1 ? 4 : rateDouble == 1 ? 2 : 1);
  }
  Log("ERROR: unexpected sample rate bit values: '", rateQuad, ",", rateDouble, ",", base48, "'");
  return kDefaultSampleRate;
}

std::string DefaultNetmaskForAddress(const std::string& address) {
  boost::system::error_code ec;
  const auto parsed = boost::asio::ip::make_address_v4(address, ec);
  if (ec) {
    Log("ERROR: failed to get subnet mask for IP: ", address, " - ", ec.message());
    return "";
  }
  const uint32_t bits = parsed.to_uint();
  if ((bits & 0x80000000U) == 0) return "255.0.0.0";
  if ((bits & 0xC0000000U) == 0x80000000U) return "255.255.0.0";
  if ((bits & 0xE0000000U) == 0xC0000000U) return "255.255.255.0";
  return "255.255.255.255";
}

}  // namespace Vextro
