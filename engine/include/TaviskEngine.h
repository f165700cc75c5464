#pragma once

// Entries of the engine library that the agent program calls to run an engine in-process.

#if defined(__GNUC__)
#define TVSK_ENGINE_API __attribute__((visibility("default")))
#else
#define TVSK_ENGINE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Restricts the engine to one network interface, given by its IPv4 address and netmask texts.
// Called once per interface, before TVSK_Initialize. 0 when recorded, -1 for a malformed text.
TVSK_ENGINE_API int TVSK_AddInterfaceFilter(const char* address, const char* netmask);

// Starts the engine. The agent passes -1, 0 and a role: 3 for a master, 1 otherwise.
// 0 means the engine runs; any other value is a failed start.
TVSK_ENGINE_API int TVSK_Initialize(int instance, int options, int role);

// Stops the engine. Safe without a preceding TVSK_Initialize and when called twice.
TVSK_ENGINE_API int TVSK_Uninitialize(void);

#ifdef __cplusplus
}
#endif
