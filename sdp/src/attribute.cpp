#include "sdp/src/attribute.h"

namespace sdp {

namespace {
const std::string kEmpty;
}

std::string attribute_text(const attribute& a) {
  std::string value = a.value();
  return value.empty() ? a.name() : a.name() + ":" + value;
}

basic_attribute::basic_attribute(std::string name, std::string value, bool valid)
    : attribute(valid), name_(std::move(name)), value_(std::move(value)) {}
rtpmap_attribute::rtpmap_attribute(uint16_t payload_type, std::string encoding, std::string clock_rate,
                                   std::optional<uint16_t> channels)
    : payload_type_(payload_type), encoding_(std::move(encoding)), clock_rate_(std::move(clock_rate)),
      channels_(channels) {}
midi_pre_attribute::midi_pre_attribute(uint16_t first, uint32_t second, std::vector<uint32_t> list)
    : first_(first), second_(second), list_(std::move(list)) {}
midi_pre2_attribute::midi_pre2_attribute(uint16_t first, std::vector<pair> pairs)
    : first_(first), pairs_(std::move(pairs)) {}
AES67_ts_refclk_attribute::AES67_ts_refclk_attribute(bool traceable, uint32_t domain, uint64_t clock_identity)
    : traceable_(traceable), domain_(domain), clock_identity_(clock_identity) {}
group_attribute::group_attribute(std::string first, std::string second)
    : first_(std::move(first)), second_(std::move(second)) {}
source_filter_attribute::source_filter_attribute(std::string mode, std::string network_type,
                                                 std::string address_type, std::string destination_address,
                                                 std::string source_address)
    : mode_(std::move(mode)), network_type_(std::move(network_type)), address_type_(std::move(address_type)),
      destination_address_(std::move(destination_address)), source_address_(std::move(source_address)) {}

#define LUMORA_SDP_STUB(cls) \
  const std::string& cls::name() const { return kEmpty; } \
  std::string cls::value() const { return {}; }
LUMORA_SDP_STUB(rtpmap_attribute)
LUMORA_SDP_STUB(sync_time_attribute)
LUMORA_SDP_STUB(framecount_attribute)
LUMORA_SDP_STUB(midi_pre_attribute)
LUMORA_SDP_STUB(midi_pre2_attribute)
LUMORA_SDP_STUB(palign_attribute)
LUMORA_SDP_STUB(AES67_ptime_attribute)
LUMORA_SDP_STUB(AES67_maxptime_attribute)
LUMORA_SDP_STUB(AES67_mediaclk_attribute)
LUMORA_SDP_STUB(AES67_ts_refclk_attribute)
LUMORA_SDP_STUB(ASIO_clock_attribute)
LUMORA_SDP_STUB(group_attribute)
LUMORA_SDP_STUB(source_filter_attribute)

}  // namespace sdp
