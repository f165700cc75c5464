#pragma once

// Checks of the texts a caller hands to the DNS-SD library. avahi's library passes them on over
// D-Bus, and libdbus ends the whole process when a text is not well-formed UTF-8; overlong
// labels can never form a valid name either.

#include <cstddef>
#include <string_view>

namespace zeroconf {

// A DNS label holds at most 63 bytes; a whole name at most 255.
constexpr size_t kMaxLabelBytes = 63;
constexpr size_t kMaxNameBytes = 255;

[[nodiscard]] bool is_well_formed_utf8(std::string_view text);
// A domain or host name: well-formed UTF-8, at most kMaxNameBytes, labels (split at dots that
// are not escaped with a backslash) of at most kMaxLabelBytes.
[[nodiscard]] bool is_acceptable_domain_name(std::string_view text);
// A registration type with its subtypes ("_http._tcp,_ravenna"): the type and each subtype as a
// domain name.
[[nodiscard]] bool is_acceptable_service_type(std::string_view text);

}  // namespace zeroconf
