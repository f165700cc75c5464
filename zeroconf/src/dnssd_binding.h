#pragma once

// Run-time binding of the DNS-SD client library. The program never links it: the library is
// opened before main and each function is looked up by name on first use, so a machine without
// it still runs and every call answers with a fixed default instead.

#include <atomic>

#include "zeroconf/src/dnssd_api.h"

namespace zeroconf {

// Library opened by load_dnssd; LUMORA_DNSSD_LIBRARY names another one (tests use a fake).
inline constexpr const char* kDnssdLibraryName = "libdns_sd.so.1";
inline constexpr const char* kDnssdLibraryVariable = "LUMORA_DNSSD_LIBRARY";

// Process-wide holder of the opened library. A function counts as available only while both
// fields are set; unload_dnssd clears them.
struct dnssd_module {
  std::atomic<void*> handle{nullptr};                      // dlopen handle, null when loading failed
  std::atomic<std::atomic<void*>*> handle_field{nullptr};  // &handle once load_dnssd ran
};

// Runs once during static initialisation; registers unload_dnssd with atexit.
void load_dnssd();
void unload_dnssd();
// Whether a library is open: without one, no operation can ever start.
[[nodiscard]] bool dnssd_loaded();

// The API's functions under their own names. Missing library or export: -1 for
// DNSServiceRefSockFD, nothing for DNSServiceRefDeallocate, kDNSServiceErr_ServiceNotRunning else.
int DNSServiceRefSockFD(DNSServiceRef sdRef);
DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef);
void DNSServiceRefDeallocate(DNSServiceRef sdRef);
DNSServiceErrorType DNSServiceRegister(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       const char* name, const char* regtype, const char* domain, const char* host,
                                       uint16_t port, uint16_t txtLen, const void* txtRecord,
                                       DNSServiceRegisterReply callBack, void* context);
DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context);
DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context);
DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                          const char* fullname, uint16_t rrtype, uint16_t rrclass,
                                          DNSServiceQueryRecordReply callBack, void* context);
DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags flags, uint32_t interfaceIndex, const char* fullname,
                                              uint16_t rrtype, uint16_t rrclass, uint16_t rdlen, const void* rdata);
DNSServiceErrorType DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                          DNSServiceProtocol protocol, const char* hostname,
                                          DNSServiceGetAddrInfoReply callBack, void* context);

}  // namespace zeroconf
