#pragma once

#include <string>
#include <vector>

namespace annwatch {

// Dotted texts of the IPv4 addresses of every interface that is up, loopback included, in the
// order the kernel lists them. Throws std::system_error when the list cannot be read.
[[nodiscard]] std::vector<std::string> list_local_addresses();

}  // namespace annwatch
