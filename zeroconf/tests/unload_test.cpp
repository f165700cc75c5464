// After unload_dnssd every function answers its default, also those already looked up.

#include <gtest/gtest.h>

#include "zeroconf/src/dnssd_binding.h"

namespace zeroconf_test {
namespace {

TEST(zeroconf_dnssd_binding_unload, CachedFunctionsAnswerTheirDefaultsAfterUnloading) {
  DNSServiceRef ref = nullptr;
  ASSERT_EQ(0, zeroconf::DNSServiceBrowse(&ref, 0, 0, "_http._tcp", nullptr, nullptr, nullptr));
  const int fd = zeroconf::DNSServiceRefSockFD(ref);
  EXPECT_GE(fd, 0);
  zeroconf::DNSServiceRefDeallocate(ref);

  zeroconf::unload_dnssd();
  DNSServiceRef after = nullptr;
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning,
            zeroconf::DNSServiceBrowse(&after, 0, 0, "_http._tcp", nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, after);
  EXPECT_EQ(-1, zeroconf::DNSServiceRefSockFD(ref));
  zeroconf::unload_dnssd();  // again, as at exit
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning, zeroconf::DNSServiceProcessResult(ref));
}

}  // namespace
}  // namespace zeroconf_test
