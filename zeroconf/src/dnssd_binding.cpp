#include "zeroconf/src/dnssd_binding.h"

#include <dlfcn.h>

#include <cstdlib>

#include "platform/dnssd_allocator.h"

namespace zeroconf {
namespace {

dnssd_module module;

// One export, looked up on first use; a failed lookup is repeated on the next call.
struct bound_function {
  const char* name;
  std::atomic<void*> address{nullptr};
};

bound_function ref_sock_fd{"DNSServiceRefSockFD"};
bound_function process_result{"DNSServiceProcessResult"};
bound_function ref_deallocate{"DNSServiceRefDeallocate"};
bound_function register_service{"DNSServiceRegister"};
bound_function browse{"DNSServiceBrowse"};
bound_function resolve{"DNSServiceResolve"};
bound_function query_record{"DNSServiceQueryRecord"};
bound_function reconfirm_record{"DNSServiceReconfirmRecord"};
bound_function get_addr_info{"DNSServiceGetAddrInfo"};

template <typename Function>
Function bind(bound_function& function) {
  std::atomic<void*>* field = module.handle_field.load(std::memory_order_acquire);
  void* handle = field != nullptr ? field->load(std::memory_order_acquire) : nullptr;
  if (handle == nullptr) {
    function.address.store(nullptr, std::memory_order_relaxed);
    return nullptr;
  }
  void* address = function.address.load(std::memory_order_relaxed);
  if (address == nullptr) {
    address = dlsym(handle, function.name);
    function.address.store(address, std::memory_order_relaxed);
  }
  return reinterpret_cast<Function>(address);
}

// In this translation unit so that linking any wrapper also brings in the load before main.
[[maybe_unused]] const bool loaded_before_main = (load_dnssd(), true);

}  // namespace

void load_dnssd() {
  const char* name = std::getenv(kDnssdLibraryVariable);
  if (name == nullptr || *name == '\0') {
    name = kDnssdLibraryName;
  }
  // avahi's layer otherwise prints a banner about Bonjour compatibility on first use.
  setenv("AVAHI_COMPAT_NOWARN", "1", 0);
  // NODELETE: unloading at exit must not unmap code that the poll thread or the library's own
  // threads may still be running.
  void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  // Before any thread exists and before the first DNS-SD call.
  platform::zeroDnssdAllocations(handle);
  module.handle.store(handle, std::memory_order_release);
  module.handle_field.store(&module.handle, std::memory_order_release);
  std::atexit(unload_dnssd);
}

void unload_dnssd() {
  void* handle = module.handle.load(std::memory_order_acquire);
  if (handle == nullptr) {
    module.handle_field.store(nullptr, std::memory_order_release);
    return;
  }
  dlclose(handle);
  module.handle.store(nullptr, std::memory_order_release);
  module.handle_field.store(nullptr, std::memory_order_release);
}

bool dnssd_loaded() {
  std::atomic<void*>* field = module.handle_field.load(std::memory_order_acquire);
  return field != nullptr && field->load(std::memory_order_acquire) != nullptr;
}

int DNSServiceRefSockFD(DNSServiceRef sdRef) {
  auto function = bind<int (*)(DNSServiceRef)>(ref_sock_fd);
  return function != nullptr ? function(sdRef) : -1;
}

DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef) {
  auto function = bind<DNSServiceErrorType (*)(DNSServiceRef)>(process_result);
  return function != nullptr ? function(sdRef) : kDNSServiceErr_ServiceNotRunning;
}

void DNSServiceRefDeallocate(DNSServiceRef sdRef) {
  auto function = bind<void (*)(DNSServiceRef)>(ref_deallocate);
  if (function != nullptr) {
    function(sdRef);
  }
}

DNSServiceErrorType DNSServiceRegister(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       const char* name, const char* regtype, const char* domain, const char* host,
                                       uint16_t port, uint16_t txtLen, const void* txtRecord,
                                       DNSServiceRegisterReply callBack, void* context) {
  auto function =
      bind<DNSServiceErrorType (*)(DNSServiceRef*, DNSServiceFlags, uint32_t, const char*, const char*, const char*,
                                   const char*, uint16_t, uint16_t, const void*, DNSServiceRegisterReply, void*)>(
          register_service);
  return function != nullptr ? function(sdRef, flags, interfaceIndex, name, regtype, domain, host, port, txtLen,
                                        txtRecord, callBack, context)
                             : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context) {
  auto function = bind<DNSServiceErrorType (*)(DNSServiceRef*, DNSServiceFlags, uint32_t, const char*, const char*,
                                               DNSServiceBrowseReply, void*)>(browse);
  return function != nullptr ? function(sdRef, flags, interfaceIndex, regtype, domain, callBack, context)
                             : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context) {
  auto function = bind<DNSServiceErrorType (*)(DNSServiceRef*, DNSServiceFlags, uint32_t, const char*, const char*,
                                               const char*, DNSServiceResolveReply, void*)>(resolve);
  return function != nullptr ? function(sdRef, flags, interfaceIndex, name, regtype, domain, callBack, context)
                             : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                          const char* fullname, uint16_t rrtype, uint16_t rrclass,
                                          DNSServiceQueryRecordReply callBack, void* context) {
  auto function = bind<DNSServiceErrorType (*)(DNSServiceRef*, DNSServiceFlags, uint32_t, const char*, uint16_t,
                                               uint16_t, DNSServiceQueryRecordReply, void*)>(query_record);
  return function != nullptr ? function(sdRef, flags, interfaceIndex, fullname, rrtype, rrclass, callBack, context)
                             : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags flags, uint32_t interfaceIndex, const char* fullname,
                                              uint16_t rrtype, uint16_t rrclass, uint16_t rdlen, const void* rdata) {
  auto function =
      bind<DNSServiceErrorType (*)(DNSServiceFlags, uint32_t, const char*, uint16_t, uint16_t, uint16_t, const void*)>(
          reconfirm_record);
  return function != nullptr ? function(flags, interfaceIndex, fullname, rrtype, rrclass, rdlen, rdata)
                             : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                          DNSServiceProtocol protocol, const char* hostname,
                                          DNSServiceGetAddrInfoReply callBack, void* context) {
  auto function = bind<DNSServiceErrorType (*)(DNSServiceRef*, DNSServiceFlags, uint32_t, DNSServiceProtocol,
                                               const char*, DNSServiceGetAddrInfoReply, void*)>(get_addr_info);
  return function != nullptr ? function(sdRef, flags, interfaceIndex, protocol, hostname, callBack, context)
                             : kDNSServiceErr_ServiceNotRunning;
}

}  // namespace zeroconf
