#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sdp {

// One a= line. The factory parse_attribute picks a typed class by the attribute name; any other
// name, and any value that does not parse, becomes a basic_attribute.
class attribute {
 public:
  virtual ~attribute() = default;
  attribute(const attribute&) = delete;
  attribute& operator=(const attribute&) = delete;

  // False for a known attribute whose value did not parse (kept as a basic_attribute).
  [[nodiscard]] bool valid() const { return valid_; }
  // The text before the first ':'.
  [[nodiscard]] virtual const std::string& name() const = 0;
  // The value written back as text (the part after ':'); parses again to the same fields.
  [[nodiscard]] virtual std::string value() const = 0;

 protected:
  explicit attribute(bool valid = true) : valid_(valid) {}

 private:
  bool valid_;
};

// Parses the text after "a=". Never throws and never returns null; every failure gives a
// basic_attribute with valid() false and one logged line.
[[nodiscard]] std::shared_ptr<attribute> parse_attribute(std::string_view text);

// "name:value", or the name alone when the value is empty.
[[nodiscard]] std::string attribute_text(const attribute& a);

// Any attribute without a typed class, and every typed attribute whose value did not parse.
class basic_attribute final : public attribute {
 public:
  basic_attribute(std::string name, std::string value, bool valid = true);
  [[nodiscard]] const std::string& name() const override { return name_; }
  [[nodiscard]] std::string value() const override { return value_; }

 private:
  std::string name_;
  std::string value_;
};

// rtpmap:<payload type> <encoding name>/<clock rate>[/<channels>]
class rtpmap_attribute final : public attribute {
 public:
  rtpmap_attribute(uint16_t payload_type, std::string encoding, std::string clock_rate,
                   std::optional<uint16_t> channels);
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;

  [[nodiscard]] uint16_t payload_type() const { return payload_type_; }
  [[nodiscard]] const std::string& encoding() const { return encoding_; }
  // As written; not checked to be a number.
  [[nodiscard]] const std::string& clock_rate() const { return clock_rate_; }
  // Absent when the line has no "/<channels>" (one channel by RFC 4566).
  [[nodiscard]] std::optional<uint16_t> channels() const { return channels_; }

 private:
  uint16_t payload_type_;
  std::string encoding_;
  std::string clock_rate_;
  std::optional<uint16_t> channels_;
};

// sync-time:<RTP timestamp>; written back unsigned.
class sync_time_attribute final : public attribute {
 public:
  explicit sync_time_attribute(uint32_t time) : time_(time) {}
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] uint32_t time() const { return time_; }

 private:
  uint32_t time_;
};

// framecount:<min>[-<max>]
class framecount_attribute final : public attribute {
 public:
  framecount_attribute(uint32_t minimum, uint32_t maximum) : minimum_(minimum), maximum_(maximum) {}
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] uint32_t minimum() const { return minimum_; }
  [[nodiscard]] uint32_t maximum() const { return maximum_; }

 private:
  uint32_t minimum_;
  uint32_t maximum_;
};

// midi-pre:[<first>] <second>;<list...>
class midi_pre_attribute final : public attribute {
 public:
  static constexpr uint16_t kFirstAbsent = 0xFFFF;
  midi_pre_attribute(uint16_t first, uint32_t second, std::vector<uint32_t> list);
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  // kFirstAbsent when the first part held only one number.
  [[nodiscard]] uint16_t first() const { return first_; }
  [[nodiscard]] uint32_t second() const { return second_; }
  [[nodiscard]] const std::vector<uint32_t>& list() const { return list_; }

 private:
  uint16_t first_;
  uint32_t second_;
  std::vector<uint32_t> list_;
};

// midi-pre2:<first> <x>,<y>;<x>,<y>...
class midi_pre2_attribute final : public attribute {
 public:
  using pair = std::pair<uint32_t, uint32_t>;
  // Stands for a pair that was not two numbers.
  static constexpr pair kBadPair{0xFFFFFFFFu, 0xFFFFFFFFu};
  midi_pre2_attribute(uint16_t first, std::vector<pair> pairs);
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] uint16_t first() const { return first_; }
  [[nodiscard]] const std::vector<pair>& pairs() const { return pairs_; }

 private:
  uint16_t first_;
  std::vector<pair> pairs_;
};

// palign:<alignment>
class palign_attribute final : public attribute {
 public:
  explicit palign_attribute(uint32_t alignment) : alignment_(alignment) {}
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] uint32_t alignment() const { return alignment_; }

 private:
  uint32_t alignment_;
};

// ptime:<packet time in ms>; written back with 9 significant digits.
class AES67_ptime_attribute final : public attribute {
 public:
  explicit AES67_ptime_attribute(float milliseconds) : milliseconds_(milliseconds) {}
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] float milliseconds() const { return milliseconds_; }

 private:
  float milliseconds_;
};

// maxptime:<maximum packet time in ms>
class AES67_maxptime_attribute final : public attribute {
 public:
  explicit AES67_maxptime_attribute(float milliseconds) : milliseconds_(milliseconds) {}
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] float milliseconds() const { return milliseconds_; }

 private:
  float milliseconds_;
};

// mediaclk:direct=<offset>
class AES67_mediaclk_attribute final : public attribute {
 public:
  explicit AES67_mediaclk_attribute(uint32_t offset) : offset_(offset) {}
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] uint32_t offset() const { return offset_; }

 private:
  uint32_t offset_;
};

// ts-refclk:ptp=traceable or ts-refclk:ptp=IEEE1588-2008:<8 hex bytes>:[domain-nmbr=]<domain>
class AES67_ts_refclk_attribute final : public attribute {
 public:
  AES67_ts_refclk_attribute(bool traceable, uint32_t domain, uint64_t clock_identity);
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] bool traceable() const { return traceable_; }
  // 0 for a traceable clock.
  [[nodiscard]] uint32_t domain() const { return domain_; }
  // The first byte of the text is the least significant; 0 for a traceable clock.
  [[nodiscard]] uint64_t clock_identity() const { return clock_identity_; }

 private:
  bool traceable_;
  uint32_t domain_;
  uint64_t clock_identity_;
};

// ASIO-clock:<clock value>
class ASIO_clock_attribute final : public attribute {
 public:
  explicit ASIO_clock_attribute(uint16_t clock) : clock_(clock) {}
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] uint16_t clock() const { return clock_; }

 private:
  uint16_t clock_;
};

// group:DUP <first id> <second id> (the only semantics served)
class group_attribute final : public attribute {
 public:
  group_attribute(std::string first, std::string second);
  [[nodiscard]] const std::string& name() const override;
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] const std::string& first() const { return first_; }
  [[nodiscard]] const std::string& second() const { return second_; }

 private:
  std::string first_;
  std::string second_;
};

// source-filter: incl IN IP4 <destination address> <source address>
class source_filter_attribute final : public attribute {
 public:
  // valid() only for mode "incl", network type "IN" and address type "IP4", the one form served.
  source_filter_attribute(std::string mode, std::string network_type, std::string address_type,
                          std::string destination_address, std::string source_address);
  [[nodiscard]] const std::string& name() const override;
  // Each field preceded by a blank.
  [[nodiscard]] std::string value() const override;
  [[nodiscard]] const std::string& mode() const { return mode_; }
  [[nodiscard]] const std::string& network_type() const { return network_type_; }
  [[nodiscard]] const std::string& address_type() const { return address_type_; }
  [[nodiscard]] const std::string& destination_address() const { return destination_address_; }
  [[nodiscard]] const std::string& source_address() const { return source_address_; }

 private:
  std::string mode_;
  std::string network_type_;
  std::string address_type_;
  std::string destination_address_;
  std::string source_address_;
};

}  // namespace sdp
