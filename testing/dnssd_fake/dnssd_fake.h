#pragma once

// Control side of the fake DNS-SD library that the zeroconf tests load in place of the real
// one. Every operation owns a socket pair: a queued reply makes its socket readable, and
// DNSServiceProcessResult runs exactly one queued reply on the calling thread. Misuse that the
// real library would punish (processing with nothing to read, double or concurrent release,
// use after release) is recorded as a violation instead.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "zeroconf/src/dnssd_api.h"

#define DNSSD_FAKE_API __attribute__((visibility("default")))

namespace dnssd_fake {

enum class operation_kind { browse, resolve, query_record, register_service, get_addr_info };

// What one DNS-SD call asked for, as captured at the call.
struct operation {
  DNSServiceRef ref = nullptr;
  operation_kind kind = operation_kind::browse;
  DNSServiceFlags flags = 0;
  uint32_t interface_index = 0;
  std::optional<std::string> name;  // instance name, full name or host name
  std::optional<std::string> regtype;
  std::optional<std::string> domain;
  std::optional<std::string> host;  // registration host
  uint16_t port_network_order = 0;
  std::string txt;  // TXT bytes of a registration
  uint16_t record_type = 0;
  uint16_t record_class = 0;
  DNSServiceProtocol protocol = 0;
  void* context = nullptr;
  int deallocations = 0;
  int socket_fd = -1;
};

struct reconfirm_call {
  DNSServiceFlags flags;
  uint32_t interface_index;
  std::string full_name;
  uint16_t record_type;
  uint16_t record_class;
  std::string data;
};

// Every operation started since the process began (or reset()), in start order.
DNSSD_FAKE_API std::vector<operation> operations();
// Waits until an operation matching `match` exists; nullopt after the timeout.
DNSSD_FAKE_API std::optional<operation> wait_for(const std::function<bool(const operation&)>& match,
                                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
DNSSD_FAKE_API std::optional<operation> wait_for_kind(operation_kind kind, size_t index = 0,
                                                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Number of operations not yet released.
DNSSD_FAKE_API size_t live_operations();

// Queue one reply; null texts are passed to the callback as null.
DNSSD_FAKE_API void reply_browse(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index,
                                 DNSServiceErrorType error, const char* name, const char* regtype, const char* domain);
DNSSD_FAKE_API void reply_resolve(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index,
                                  DNSServiceErrorType error, const char* full_name, const char* host_target,
                                  uint16_t port_network_order, const std::string& txt);
DNSSD_FAKE_API void reply_query(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index,
                                DNSServiceErrorType error, const char* full_name, uint16_t record_type,
                                uint16_t record_class, const std::string& data, uint32_t ttl = 120);
DNSSD_FAKE_API void reply_register(DNSServiceRef ref, DNSServiceFlags flags, DNSServiceErrorType error,
                                   const char* name, const char* regtype, const char* domain);
// `ipv4` empty: no address; "v6" passes an IPv6 address.
DNSSD_FAKE_API void reply_addrinfo(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index,
                                   DNSServiceErrorType error, const char* host_name, const std::string& ipv4);

// The next call of the named function (e.g. "DNSServiceResolve") returns `code` and starts nothing.
DNSSD_FAKE_API void fail_next(const std::string& function, DNSServiceErrorType code);
// While down, every start answers kDNSServiceErr_Unknown and starts nothing, as avahi's library
// does while its daemon is away.
DNSSD_FAKE_API void set_service_down(bool down);
// Starts beyond this many unreleased operations answer kDNSServiceErr_Unknown, as the message
// bus refuses connections beyond its limit; 0 lifts the limit.
DNSSD_FAKE_API void set_max_live_operations(size_t limit);
// Starts refused so far (queued failures, service down, limit), and the most operations that
// were unreleased at once since the last reset_peak_live_operations().
DNSSD_FAKE_API int refused_starts();
DNSSD_FAKE_API size_t peak_live_operations();
DNSSD_FAKE_API void reset_peak_live_operations();
// DNSServiceProcessResult returns this after running the reply (0 by default).
DNSSD_FAKE_API void set_process_result(DNSServiceErrorType code);
// DNSServiceRefSockFD answers -1 for this operation.
DNSSD_FAKE_API void set_invalid_socket(DNSServiceRef ref);
// New operations get socket descriptors above 1024.
DNSSD_FAKE_API void set_high_descriptors(bool enabled);
DNSSD_FAKE_API int sock_fd_calls();
DNSSD_FAKE_API int process_result_calls();
DNSSD_FAKE_API std::vector<reconfirm_call> reconfirm_calls();
DNSSD_FAKE_API std::vector<std::string> violations();

}  // namespace dnssd_fake
