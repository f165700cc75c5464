#pragma once

#include <string>

namespace zeroconf {

// Turns the DNS-escaped instance part of a full service name into the literal name: "\." is a
// dot, "\\" a backslash and "\" with three characters that read whole as a decimal number
// ("032") the low byte of that number. A malformed escape gives an empty name.
std::string unescape_service_name(const std::string& escaped);

// A DNS-escaped domain name as people read it: "\DDD" (three decimal digits) is that byte and "\"
// before any other character is that character; the dots between labels stay. The bytes of a
// non-ASCII name are its UTF-8 text.
std::string unescape_domain_name(const std::string& escaped);

// Position of the dot that ends the instance part of a full name: the first one preceded by an
// even number of backslashes. std::string::npos when there is none.
size_t find_instance_end(const std::string& full_name);

}  // namespace zeroconf
