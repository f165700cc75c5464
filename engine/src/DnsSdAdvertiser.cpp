#include "DnsSdAdvertiser.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dns_sd.h>
#include <string>

#include "EngineLog.h"
#include "platform/dnssd_allocator.h"

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
    // A daemon restart must not call a registration's unset callback fields.
    platform::zeroDnssdAllocations(handle);
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

std::string orEmpty(const char* text) { return text != nullptr ? text : ""; }

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
  if (library().registerService == nullptr) {
    error = library().error;
    return false;
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    error = std::string("eventfd failed: ") + std::strerror(errno);
    return false;
  }
  name_ = name;
  port_ = port;
  txt_.clear();
  if (master) {
    txt_.push_back(static_cast<char>(std::string(kMasterTxtEntry).size()));
    txt_ += kMasterTxtEntry;
  }
  nextDelay_ = std::chrono::milliseconds(0);
  registerService();
  thread_ = std::thread([this] { run(); });
  return true;
}

void DnsSdAdvertiser::registerService() {
  failed_ = false;
  DNSServiceRef ref = nullptr;
  const DNSServiceErrorType result =
      library().registerService(&ref, 0, kDNSServiceInterfaceIndexAny, name_.c_str(), kServiceType, nullptr, nullptr,
                                htons(port_), static_cast<uint16_t>(txt_.size()), txt_.empty() ? nullptr : txt_.data(),
                                onRegistered, this);
  if (result != kDNSServiceErr_NoError || ref == nullptr) {
    printEngineLine("DNS-SD: advertisement of \"" + name_ + "\" refused (error " + std::to_string(result) + ")");
    retryLater();
    return;
  }
  serviceRef_ = ref;
}

void DNSSD_API DnsSdAdvertiser::onRegistered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType errorCode,
                                             const char* name, const char* type, const char* domain, void* context) {
  auto* self = static_cast<DnsSdAdvertiser*>(context);
  if (errorCode == kDNSServiceErr_NoError) {
    self->nextDelay_ = std::chrono::milliseconds(0);
    printEngineLine("DNS-SD: advertised \"" + orEmpty(name) + "\" as " + orEmpty(type) + " in " + orEmpty(domain));
  } else {
    printEngineLine("DNS-SD: advertisement failed (error " + std::to_string(errorCode) + ")");
    self->failed_ = true;
  }
}

void DnsSdAdvertiser::dropRegistration() {
  if (serviceRef_ != nullptr) {
    library().deallocate(serviceRef_);
    serviceRef_ = nullptr;
  }
}

void DnsSdAdvertiser::retryLater() {
  dropRegistration();
  nextDelay_ = nextDelay_.count() == 0 ? delays_.first : std::min(nextDelay_ * 2, delays_.limit);
  nextAttempt_ = std::chrono::steady_clock::now() + nextDelay_;
  printEngineLine("DNS-SD: registering \"" + name_ + "\" again in " + std::to_string(nextDelay_.count()) + " ms");
}

int DnsSdAdvertiser::pollTimeoutMs() const {
  if (serviceRef_ != nullptr) {
    return kPollTimeoutMs;
  }
  const auto wait =
      std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(wait.count(), 0, kPollTimeoutMs));
}

void DnsSdAdvertiser::run() {
  for (;;) {
    if (serviceRef_ == nullptr && std::chrono::steady_clock::now() >= nextAttempt_) {
      registerService();
    }
    const int socket = serviceRef_ != nullptr ? library().socketOf(serviceRef_) : -1;
    std::array<pollfd, 2> fds{{{wakeFd_, POLLIN, 0}, {socket, POLLIN, 0}}};
    const int ready = ::poll(fds.data(), socket >= 0 ? 2 : 1, pollTimeoutMs());
    if (ready < 0 && errno != EINTR) {
      printEngineLine(std::string("DNS-SD: poll failed: ") + std::strerror(errno), Console::Error);
      break;
    }
    if (fds[0].revents != 0) {
      break;
    }
    if (socket >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      if (library().processResult(serviceRef_) != kDNSServiceErr_NoError) {
        printEngineLine("DNS-SD: connection to the daemon lost");
        failed_ = true;
      }
      if (failed_) {
        retryLater();
      }
    }
  }
  dropRegistration();
}

void DnsSdAdvertiser::withdraw() {
  if (!thread_.joinable()) {
    return;
  }
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    printEngineLine(std::string("DNS-SD: wake-up failed: ") + std::strerror(errno), Console::Error);
  }
  thread_.join();
  close(wakeFd_);
  wakeFd_ = -1;
}

}  // namespace tvsk
