#include "zeroconf/src/txt_records.h"

#include <new>

#include "log/console_log.h"

namespace zeroconf {

dns_txt_records::dns_txt_records(const std::vector<std::string>& entries) {
  size_t total = 0;
  for (const std::string& entry : entries) {
    if (entry.size() > kMaxEntryLength) {
      return;
    }
    if (!entry.empty()) {
      total += 1 + entry.size();
    }
  }
  if (total > kMaxLength) {
    return;
  }
  try {
    data_.reserve(total);
  } catch (const std::bad_alloc&) {
    return;  // no memory: an empty record, as for oversized input
  }
  for (const std::string& entry : entries) {
    if (entry.empty()) {
      continue;
    }
    data_.push_back(static_cast<uint8_t>(entry.size()));
    data_.insert(data_.end(), entry.begin(), entry.end());
  }
  length_ = static_cast<uint16_t>(total);
}

bool parse_txt_record(std::vector<std::string>& out, uint16_t length, const void* data) {
  out.clear();
  if (length == 0 || data == nullptr) {
    return true;
  }
  const auto* position = static_cast<const uint8_t*>(data);
  size_t remaining = length;
  while (remaining > 0) {
    const size_t entry_length = *position;
    if (entry_length > remaining - 1) {
      writeLog(kLogError, LOG_FILE, __LINE__, "Invalid TXT Record\n");
      out.clear();
      return false;
    }
    out.emplace_back(reinterpret_cast<const char*>(position + 1), entry_length);
    remaining -= entry_length + 1;
    position += entry_length + 1;
  }
  return true;
}

}  // namespace zeroconf
