#include "DnsSdAdvertiser.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dns_sd.h>
#include <string>

namespace tvsk {
namespace {

constexpr const char* kLibraryName = "libdns_sd.so.1";
constexpr std::size_t kMaxLabelBytes = 63;
constexpr int kPollTimeoutMs = 1000;

// The entries of libdns_sd the advertisement uses, resolved once per process. The library stays
// loaded: its own threads may outlive a registration briefly.
struct DnsSdLibrary {
  decltype(&DNSServiceRegister) registerService = nullptr;
  decltype(&DNSServiceRefSockFD) socketOf = nullptr;
  decltype(&DNSServiceProcessResult) processResult = nullptr;
  decltype(&DNSServiceRefDeallocate) deallocate = nullptr;
  std::string error;

  DnsSdLibrary() {
    // Avahi's compatibility layer warns on stderr for every process that uses it.
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);
    void* handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = dlerror();
      error = reason != nullptr ? reason : "cannot open libdns_sd";
      return;
    }
    registerService = reinterpret_cast<decltype(registerService)>(dlsym(handle, "DNSServiceRegister"));
    socketOf = reinterpret_cast<decltype(socketOf)>(dlsym(handle, "DNSServiceRefSockFD"));
    processResult = reinterpret_cast<decltype(processResult)>(dlsym(handle, "DNSServiceProcessResult"));
    deallocate = reinterpret_cast<decltype(deallocate)>(dlsym(handle, "DNSServiceRefDeallocate"));
    if (registerService == nullptr || socketOf == nullptr || processResult == nullptr || deallocate == nullptr) {
      error = std::string(kLibraryName) + " lacks a DNS-SD entry";
      registerService = nullptr;
    }
  }
};

const DnsSdLibrary& library() {
  static const DnsSdLibrary instance;
  return instance;
}

void DNSSD_API onRegistered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType errorCode, const char* name,
                            const char* type, const char* domain, void*) {
  if (errorCode == kDNSServiceErr_NoError) {
    std::printf("TVSK DNS-SD: advertised \"%s\" as %s in %s\n", name != nullptr ? name : "",
                type != nullptr ? type : "", domain != nullptr ? domain : "");
  } else {
    std::printf("TVSK DNS-SD: advertisement failed (error %d)\n", static_cast<int>(errorCode));
  }
  std::fflush(stdout);
}

}  // namespace

DnsSdAdvertiser::~DnsSdAdvertiser() { withdraw(); }

std::string DnsSdAdvertiser::defaultName() {
  std::array<char, 256> host{};
  if (gethostname(host.data(), host.size() - 1) != 0) {
    host[0] = '\0';
  }
  std::string hostName(host.data());
  hostName = hostName.substr(0, hostName.find('.'));
  const std::string pid = std::to_string(getpid());
  const std::size_t fixed = std::string(kNamePrefix).size() + 2 + pid.size();
  if (fixed + hostName.size() > kMaxLabelBytes) {
    hostName.resize(kMaxLabelBytes - fixed);
  }
  return std::string(kNamePrefix) + "_" + hostName + "_" + pid;
}

bool DnsSdAdvertiser::advertise(const std::string& name, uint16_t port, bool master, std::string& error) {
  withdraw();
  const DnsSdLibrary& dnssd = library();
  if (dnssd.registerService == nullptr) {
    error = dnssd.error;
    return false;
  }
  std::string txt;
  if (master) {
    txt.push_back(static_cast<char>(std::string(kMasterTxtEntry).size()));
    txt += kMasterTxtEntry;
  }
  DNSServiceRef ref = nullptr;
  const DNSServiceErrorType result =
      dnssd.registerService(&ref, 0, kDNSServiceInterfaceIndexAny, name.c_str(), kServiceType, nullptr, nullptr,
                            htons(port), static_cast<uint16_t>(txt.size()), txt.empty() ? nullptr : txt.data(),
                            onRegistered, nullptr);
  if (result != kDNSServiceErr_NoError || ref == nullptr) {
    error = "DNSServiceRegister failed with error " + std::to_string(result);
    return false;
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    dnssd.deallocate(ref);
    error = "eventfd failed";
    return false;
  }
  serviceRef_ = ref;
  processResult_ = dnssd.processResult;
  deallocate_ = dnssd.deallocate;
  socket_ = dnssd.socketOf(ref);
  thread_ = std::thread([this] { poll(); });
  return true;
}

void DnsSdAdvertiser::poll() {
  for (;;) {
    std::array<pollfd, 2> fds{{{wakeFd_, POLLIN, 0}, {socket_, POLLIN, 0}}};
    const int ready = ::poll(fds.data(), socket_ >= 0 ? 2 : 1, kPollTimeoutMs);
    if (ready < 0 && errno != EINTR) {
      return;
    }
    if (fds[0].revents != 0) {
      return;
    }
    if (socket_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      if (processResult_(serviceRef_) != kDNSServiceErr_NoError) {
        std::printf("TVSK DNS-SD: connection to the daemon lost\n");
        std::fflush(stdout);
        return;
      }
    }
  }
}

void DnsSdAdvertiser::withdraw() {
  if (serviceRef_ == nullptr) {
    return;
  }
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    std::perror("TVSK DNS-SD: wake-up");
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  deallocate_(serviceRef_);
  serviceRef_ = nullptr;
  socket_ = -1;
  close(wakeFd_);
  wakeFd_ = -1;
}

}  // namespace tvsk
