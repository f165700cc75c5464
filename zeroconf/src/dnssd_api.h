#pragma once

// The DNS-SD client API as the library exports it (C linkage, C types). Declared here rather than
// taken from a platform header: the library is loaded at run time and avahi's header lacks
// several of the names used below.

#include <cstdint>

struct sockaddr;

extern "C" {

typedef struct _DNSServiceRef_t* DNSServiceRef;
typedef uint32_t DNSServiceFlags;
typedef uint32_t DNSServiceProtocol;
typedef int32_t DNSServiceErrorType;

typedef void (*DNSServiceRegisterReply)(DNSServiceRef sdRef, DNSServiceFlags flags, DNSServiceErrorType errorCode,
                                        const char* name, const char* regtype, const char* domain, void* context);

typedef void (*DNSServiceBrowseReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      DNSServiceErrorType errorCode, const char* serviceName, const char* regtype,
                                      const char* replyDomain, void* context);

typedef void (*DNSServiceResolveReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       DNSServiceErrorType errorCode, const char* fullname, const char* hosttarget,
                                       uint16_t port, uint16_t txtLen, const unsigned char* txtRecord, void* context);

typedef void (*DNSServiceQueryRecordReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                           DNSServiceErrorType errorCode, const char* fullname, uint16_t rrtype,
                                           uint16_t rrclass, uint16_t rdlen, const void* rdata, uint32_t ttl,
                                           void* context);

typedef void (*DNSServiceGetAddrInfoReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                           DNSServiceErrorType errorCode, const char* hostname,
                                           const struct sockaddr* address, uint32_t ttl, void* context);

}  // extern "C"

// Flag bits of requests and answers.
constexpr DNSServiceFlags kDNSServiceFlagsAdd = 0x2;
constexpr DNSServiceFlags kDNSServiceFlagsNoAutoRename = 0x8;
constexpr DNSServiceFlags kDNSServiceFlagsForce = 0x800;
constexpr DNSServiceFlags kDNSServiceFlagsReturnIntermediates = 0x1000;
constexpr DNSServiceFlags kDNSServiceFlagsWakeOnResolve = 0x40000;

constexpr DNSServiceProtocol kDNSServiceProtocol_IPv4 = 0x01;

// Resource record type and class of an IPv4 address record.
constexpr uint16_t kDNSServiceType_A = 1;
constexpr uint16_t kDNSServiceClass_IN = 1;

// Error codes.
constexpr DNSServiceErrorType kDNSServiceErr_NoError = 0;
constexpr DNSServiceErrorType kDNSServiceErr_Unknown = -65537;
constexpr DNSServiceErrorType kDNSServiceErr_BadParam = -65540;
constexpr DNSServiceErrorType kDNSServiceErr_Unsupported = -65544;
constexpr DNSServiceErrorType kDNSServiceErr_NameConflict = -65548;
constexpr DNSServiceErrorType kDNSServiceErr_Invalid = -65549;
constexpr DNSServiceErrorType kDNSServiceErr_ServiceNotRunning = -65563;
constexpr DNSServiceErrorType kDNSServiceErr_Timeout = -65568;
