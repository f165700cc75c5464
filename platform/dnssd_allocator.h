#pragma once

#include <avahi-common/malloc.h>
#include <dlfcn.h>

#include <cstdlib>

namespace platform {

// avahi's DNS-SD compatibility library (libdns_sd) allocates each reference without clearing it
// and sets only the reply callback of its own kind. When the daemon goes away it calls the browse
// callback of any reference whose field is not null: on a resolve or an address query that is
// whatever the heap held there. Zeroed allocations make those fields read null. Call with the
// handle of the opened library before its first use; a library without avahi beneath it (Bonjour,
// a test fake) has no allocator and is left alone. Process-wide: the allocator stays for good.
inline void zeroDnssdAllocations(void* dnssdLibrary) {
  static const AvahiAllocator zeroing{
      [](size_t size) { return std::calloc(1, size); },
      [](void* block) { std::free(block); },
      [](void* block, size_t size) { return std::realloc(block, size); },
      [](size_t count, size_t size) { return std::calloc(count, size); },
  };
  if (dnssdLibrary == nullptr) return;
  using SetAllocator = void (*)(const AvahiAllocator*);
  // Found through the library's own dependencies: nothing links libavahi-common.
  if (auto set = reinterpret_cast<SetAllocator>(dlsym(dnssdLibrary, "avahi_set_allocator"))) set(&zeroing);
}

}  // namespace platform
