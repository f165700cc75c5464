#include "zeroconf/src/dns_text_check.h"

#include "log/printable_text.h"

namespace zeroconf {

bool is_well_formed_utf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == 0) {
      return false;
    }
    if (byte < 0x80) {
      ++at;
      continue;
    }
    const size_t length = lumora_log::utf8_sequence_length(text, at);
    if (length == 0) {
      return false;
    }
    at += length;
  }
  return true;
}

bool is_acceptable_domain_name(std::string_view text) {
  if (text.size() > kMaxNameBytes || !is_well_formed_utf8(text)) {
    return false;
  }
  size_t label = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '.') {
      label = 0;
      continue;
    }
    if (text[at] == '\\' && at + 1 < text.size()) {
      ++at;  // the escaped character belongs to the label
    }
    if (++label > kMaxLabelBytes) {
      return false;
    }
  }
  return true;
}

bool is_acceptable_service_type(std::string_view text) {
  for (size_t start = 0;;) {
    const size_t comma = text.find(',', start);
    if (!is_acceptable_domain_name(text.substr(start, comma == std::string_view::npos ? comma : comma - start))) {
      return false;
    }
    if (comma == std::string_view::npos) {
      return true;
    }
    start = comma + 1;
  }
}

}  // namespace zeroconf
