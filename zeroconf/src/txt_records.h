#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zeroconf {

// TXT record data in wire form: each entry as one length byte and that many bytes, back to back.
class dns_txt_records {
 public:
  // Entries are byte strings; empty ones are skipped. An entry above kMaxEntryLength bytes or a
  // total above kMaxLength bytes leaves the whole record empty.
  explicit dns_txt_records(const std::vector<std::string>& entries);
  virtual ~dns_txt_records() = default;

  static constexpr size_t kMaxEntryLength = 127;
  static constexpr size_t kMaxLength = 32767;

  [[nodiscard]] uint16_t length() const { return length_; }
  // Null when the record is empty.
  [[nodiscard]] const void* data() const { return data_.empty() ? nullptr : data_.data(); }

 private:
  uint16_t length_ = 0;
  std::vector<uint8_t> data_;
};

// Splits received TXT data into its entries (empty entries kept). False, with the entries
// cleared and an error line logged, when a length byte runs past the end.
bool parse_txt_record(std::vector<std::string>& out, uint16_t length, const void* data);

}  // namespace zeroconf
