#pragma once

#include "zeroconf/src/dnssd_api.h"

namespace zeroconf {

// Request flags, in one place because they differ from Bonjour's: avahi's dns_sd layer rejects
// every non-zero flags word of Browse, Resolve, Register and QueryRecord with
// kDNSServiceErr_Unsupported, so a Bonjour choice (WakeOnResolve for browses, the browse answer's
// flags for resolves, NoAutoRename for registrations) would make every operation fail here.
// The cost: a name clash on the network is resolved by avahi renaming the service silently.
constexpr DNSServiceFlags kBrowseFlags = 0;
constexpr DNSServiceFlags kResolveFlags = 0;
constexpr DNSServiceFlags kRegisterFlags = 0;
constexpr DNSServiceFlags kQueryRecordFlags = 0;
// Only libraries that have DNSServiceGetAddrInfo see these; avahi's lacks the function.
constexpr DNSServiceFlags kGetAddrInfoFlags = kDNSServiceFlagsReturnIntermediates;
// Reconfirmation is a Bonjour request; avahi answers it with kDNSServiceErr_Unsupported.
constexpr DNSServiceFlags kReconfirmFlags = kDNSServiceFlagsForce;

}  // namespace zeroconf
