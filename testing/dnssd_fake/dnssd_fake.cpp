#include "testing/dnssd_fake/dnssd_fake.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using dnssd_fake::operation;
using dnssd_fake::operation_kind;

struct _DNSServiceRef_t {
  operation captured;
  void* callback = nullptr;
  int write_fd = -1;
  bool released = false;
  std::thread::id processing_thread;
  bool close_after_processing = false;
  bool invalid_socket = false;
  std::deque<std::function<void(DNSServiceRef)>> replies;
};

namespace {

// Never freed: library threads may still look operations up while the process exits.
struct registry {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::unique_ptr<_DNSServiceRef_t>> refs;
  std::map<std::string, DNSServiceErrorType> failures;
  DNSServiceErrorType process_result = 0;
  bool high_descriptors = false;
  bool service_down = false;
  size_t max_live = 0;
  size_t live = 0;
  size_t peak_live = 0;
  int refused_starts = 0;
  int sock_fd_calls = 0;
  int process_result_calls = 0;
  std::vector<dnssd_fake::reconfirm_call> reconfirms;
  std::vector<std::string> violations;
};

registry& state() {
  static auto* instance = new registry;
  return *instance;
}

std::optional<std::string> text(const char* value) {
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

const char* c_text(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }

bool take_failure(registry& r, const char* function, DNSServiceErrorType& code) {
  auto found = r.failures.find(function);
  if (found == r.failures.end()) {
    return false;
  }
  code = found->second;
  r.failures.erase(found);
  return true;
}

void close_sockets(_DNSServiceRef_t& ref) {
  close(ref.captured.socket_fd);
  close(ref.write_fd);
}

// Starts an operation unless a failure was queued for `function`.
DNSServiceErrorType start(const char* function, DNSServiceRef* out, operation captured, void* callback) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  DNSServiceErrorType code = 0;
  if (take_failure(r, function, code)) {
    ++r.refused_starts;
    return code;
  }
  if (r.service_down || (r.max_live != 0 && r.live >= r.max_live)) {
    ++r.refused_starts;
    return kDNSServiceErr_Unknown;
  }
  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
    return kDNSServiceErr_Unknown;
  }
  if (r.high_descriptors) {
    const int high = fcntl(sockets[0], F_DUPFD_CLOEXEC, 1100);
    close(sockets[0]);
    sockets[0] = high;
  }
  auto ref = std::make_unique<_DNSServiceRef_t>();
  ref->captured = std::move(captured);
  ref->captured.ref = ref.get();
  ref->captured.socket_fd = sockets[0];
  ref->write_fd = sockets[1];
  ref->callback = callback;
  *out = ref.get();
  r.refs.push_back(std::move(ref));
  r.peak_live = std::max(r.peak_live, ++r.live);
  r.changed.notify_all();
  return kDNSServiceErr_NoError;
}

void enqueue(DNSServiceRef ref, std::function<void(DNSServiceRef)> reply) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (ref->released) {
    r.violations.push_back("reply queued after release");
    return;
  }
  ref->replies.push_back(std::move(reply));
  const char byte = 1;
  if (write(ref->write_fd, &byte, 1) != 1) {
    r.violations.push_back("reply not signalled");
  }
}

template <typename Callback>
Callback callback_of(DNSServiceRef ref) {
  return reinterpret_cast<Callback>(ref->callback);
}

}  // namespace

extern "C" {

DNSSD_FAKE_API int DNSServiceRefSockFD(DNSServiceRef ref) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  ++r.sock_fd_calls;
  if (ref->released) {
    r.violations.push_back("DNSServiceRefSockFD after release");
    return -1;
  }
  return ref->invalid_socket ? -1 : ref->captured.socket_fd;
}

DNSSD_FAKE_API DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef ref) {
  registry& r = state();
  std::function<void(DNSServiceRef)> reply;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.process_result_calls;
    if (ref->released) {
      r.violations.push_back("DNSServiceProcessResult after release");
      return kDNSServiceErr_Unknown;
    }
    if (ref->replies.empty()) {
      // The real library would block reading the socket.
      r.violations.push_back("DNSServiceProcessResult without a reply");
      return kDNSServiceErr_Unknown;
    }
    reply = std::move(ref->replies.front());
    ref->replies.pop_front();
    char byte;
    if (read(ref->captured.socket_fd, &byte, 1) != 1) {
      r.violations.push_back("reply byte missing");
    }
    ref->processing_thread = std::this_thread::get_id();
  }
  reply(ref);
  std::lock_guard<std::mutex> lock(r.mutex);
  ref->processing_thread = std::thread::id();
  if (ref->close_after_processing) {
    close_sockets(*ref);
  }
  return r.process_result;
}

DNSSD_FAKE_API void DNSServiceRefDeallocate(DNSServiceRef ref) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  ++ref->captured.deallocations;
  if (ref->released) {
    r.violations.push_back("DNSServiceRefDeallocate twice");
    return;
  }
  ref->released = true;
  --r.live;
  ref->replies.clear();
  if (ref->processing_thread == std::thread::id()) {
    close_sockets(*ref);
  } else if (ref->processing_thread == std::this_thread::get_id()) {
    // Released from its own reply: allowed, closed once processing returns.
    ref->close_after_processing = true;
  } else {
    r.violations.push_back("DNSServiceRefDeallocate during DNSServiceProcessResult on another thread");
    ref->close_after_processing = true;
  }
  r.changed.notify_all();
}

DNSSD_FAKE_API DNSServiceErrorType DNSServiceRegister(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                      uint32_t interfaceIndex, const char* name, const char* regtype,
                                                      const char* domain, const char* host, uint16_t port,
                                                      uint16_t txtLen, const void* txtRecord,
                                                      DNSServiceRegisterReply callBack, void* context) {
  operation captured;
  captured.kind = operation_kind::register_service;
  captured.flags = flags;
  captured.interface_index = interfaceIndex;
  captured.name = text(name);
  captured.regtype = text(regtype);
  captured.domain = text(domain);
  captured.host = text(host);
  captured.port_network_order = port;
  if (txtRecord != nullptr) {
    captured.txt.assign(static_cast<const char*>(txtRecord), txtLen);
  }
  captured.context = context;
  return start("DNSServiceRegister", sdRef, std::move(captured), reinterpret_cast<void*>(callBack));
}

DNSSD_FAKE_API DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                    uint32_t interfaceIndex, const char* regtype, const char* domain,
                                                    DNSServiceBrowseReply callBack, void* context) {
  operation captured;
  captured.kind = operation_kind::browse;
  captured.flags = flags;
  captured.interface_index = interfaceIndex;
  captured.regtype = text(regtype);
  captured.domain = text(domain);
  captured.context = context;
  return start("DNSServiceBrowse", sdRef, std::move(captured), reinterpret_cast<void*>(callBack));
}

DNSSD_FAKE_API DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                     uint32_t interfaceIndex, const char* name, const char* regtype,
                                                     const char* domain, DNSServiceResolveReply callBack,
                                                     void* context) {
  operation captured;
  captured.kind = operation_kind::resolve;
  captured.flags = flags;
  captured.interface_index = interfaceIndex;
  captured.name = text(name);
  captured.regtype = text(regtype);
  captured.domain = text(domain);
  captured.context = context;
  return start("DNSServiceResolve", sdRef, std::move(captured), reinterpret_cast<void*>(callBack));
}

DNSSD_FAKE_API DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                         uint32_t interfaceIndex, const char* fullname, uint16_t rrtype,
                                                         uint16_t rrclass, DNSServiceQueryRecordReply callBack,
                                                         void* context) {
  operation captured;
  captured.kind = operation_kind::query_record;
  captured.flags = flags;
  captured.interface_index = interfaceIndex;
  captured.name = text(fullname);
  captured.record_type = rrtype;
  captured.record_class = rrclass;
  captured.context = context;
  return start("DNSServiceQueryRecord", sdRef, std::move(captured), reinterpret_cast<void*>(callBack));
}

DNSSD_FAKE_API DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags flags, uint32_t interfaceIndex,
                                                             const char* fullname, uint16_t rrtype, uint16_t rrclass,
                                                             uint16_t rdlen, const void* rdata) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.reconfirms.push_back({flags, interfaceIndex, fullname != nullptr ? fullname : "", rrtype, rrclass,
                          std::string(static_cast<const char*>(rdata), rdlen)});
  return kDNSServiceErr_NoError;
}

#ifndef DNSSD_FAKE_WITHOUT_GETADDRINFO
DNSSD_FAKE_API DNSServiceErrorType DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                         uint32_t interfaceIndex, DNSServiceProtocol protocol,
                                                         const char* hostname, DNSServiceGetAddrInfoReply callBack,
                                                         void* context) {
  operation captured;
  captured.kind = operation_kind::get_addr_info;
  captured.flags = flags;
  captured.interface_index = interfaceIndex;
  captured.protocol = protocol;
  captured.name = text(hostname);
  captured.context = context;
  return start("DNSServiceGetAddrInfo", sdRef, std::move(captured), reinterpret_cast<void*>(callBack));
}
#endif

}  // extern "C"

namespace dnssd_fake {

std::vector<operation> operations() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<operation> result;
  for (const auto& ref : r.refs) {
    result.push_back(ref->captured);
  }
  return result;
}

std::optional<operation> wait_for(const std::function<bool(const operation&)>& match,
                                  std::chrono::milliseconds timeout) {
  registry& r = state();
  std::unique_lock<std::mutex> lock(r.mutex);
  std::optional<operation> found;
  r.changed.wait_for(lock, timeout, [&] {
    for (const auto& ref : r.refs) {
      if (match(ref->captured)) {
        found = ref->captured;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<operation> wait_for_kind(operation_kind kind, size_t index, std::chrono::milliseconds timeout) {
  registry& r = state();
  std::unique_lock<std::mutex> lock(r.mutex);
  std::optional<operation> found;
  r.changed.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const auto& ref : r.refs) {
      if (ref->captured.kind == kind && seen++ == index) {
        found = ref->captured;
        return true;
      }
    }
    return false;
  });
  return found;
}

size_t live_operations() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  size_t live = 0;
  for (const auto& ref : r.refs) {
    live += ref->released ? 0 : 1;
  }
  return live;
}

void reply_browse(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
                  const char* name, const char* regtype, const char* domain) {
  enqueue(ref, [=, name = text(name), regtype = text(regtype), domain = text(domain)](DNSServiceRef self) {
    callback_of<DNSServiceBrowseReply>(self)(self, flags, interface_index, error, c_text(name), c_text(regtype),
                                             c_text(domain), self->captured.context);
  });
}

void reply_resolve(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
                   const char* full_name, const char* host_target, uint16_t port_network_order,
                   const std::string& txt) {
  enqueue(ref, [=, full_name = text(full_name), host_target = text(host_target)](DNSServiceRef self) {
    callback_of<DNSServiceResolveReply>(
        self)(self, flags, interface_index, error, c_text(full_name), c_text(host_target), port_network_order,
              static_cast<uint16_t>(txt.size()), reinterpret_cast<const unsigned char*>(txt.data()),
              self->captured.context);
  });
}

void reply_query(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
                 const char* full_name, uint16_t record_type, uint16_t record_class, const std::string& data,
                 uint32_t ttl) {
  enqueue(ref, [=, full_name = text(full_name)](DNSServiceRef self) {
    callback_of<DNSServiceQueryRecordReply>(self)(self, flags, interface_index, error, c_text(full_name), record_type,
                                                  record_class, static_cast<uint16_t>(data.size()),
                                                  data.empty() ? nullptr : data.data(), ttl, self->captured.context);
  });
}

void reply_register(DNSServiceRef ref, DNSServiceFlags flags, DNSServiceErrorType error, const char* name,
                    const char* regtype, const char* domain) {
  enqueue(ref, [=, name = text(name), regtype = text(regtype), domain = text(domain)](DNSServiceRef self) {
    callback_of<DNSServiceRegisterReply>(self)(self, flags, error, c_text(name), c_text(regtype), c_text(domain),
                                               self->captured.context);
  });
}

void reply_addrinfo(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
                    const char* host_name, const std::string& ipv4) {
  enqueue(ref, [=, host_name = text(host_name)](DNSServiceRef self) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    if (ipv4 == "v6") {
      v6.sin6_family = AF_INET6;
      v6.sin6_addr.s6_addr[15] = 1;
      address = reinterpret_cast<const sockaddr*>(&v6);
    } else if (!ipv4.empty()) {
      v4.sin_family = AF_INET;
      unsigned a = 0, b = 0, c = 0, d = 0;
      std::sscanf(ipv4.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
      v4.sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
      address = reinterpret_cast<const sockaddr*>(&v4);
    }
    callback_of<DNSServiceGetAddrInfoReply>(self)(self, flags, interface_index, error, c_text(host_name), address, 120,
                                                  self->captured.context);
  });
}

void fail_next(const std::string& function, DNSServiceErrorType code) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.failures[function] = code;
}

void set_process_result(DNSServiceErrorType code) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.process_result = code;
}

void set_invalid_socket(DNSServiceRef ref) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  ref->invalid_socket = true;
}

void set_service_down(bool down) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.service_down = down;
}

void set_max_live_operations(size_t limit) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.max_live = limit;
}

int refused_starts() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.refused_starts;
}

size_t peak_live_operations() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.peak_live;
}

void reset_peak_live_operations() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.peak_live = r.live;
}

void set_high_descriptors(bool enabled) {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.high_descriptors = enabled;
}

int sock_fd_calls() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.sock_fd_calls;
}

int process_result_calls() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.process_result_calls;
}

std::vector<reconfirm_call> reconfirm_calls() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.reconfirms;
}

std::vector<std::string> violations() {
  registry& r = state();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.violations;
}

}  // namespace dnssd_fake
