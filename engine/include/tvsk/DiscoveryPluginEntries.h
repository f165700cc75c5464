#pragma once

/* The stream-discovery plug-in's entry table. The engine fetches entry N through the plug-in's one
   export, TVSK_Disco_Get_By_Id(N); a number the plug-in does not serve gives a null pointer. The
   plug-in, the engine's host, the test host and the tests all take the numbers and function types
   from here, so the compiler checks that both sides of the boundary mean the same function. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TVSK_DISCOVERY_EXPORT_NAME "TVSK_Disco_Get_By_Id"

typedef void* (*TVSK_Disco_Get_By_Id_Fn)(uint32_t id);

/* Receives each "Add" and "Remove" message; the text lives only for the call. */
typedef void (*DiscoveryCallback)(void* user, const char* json);

enum TVSK_DiscoveryEntryId {
  TVSK_DISCOVERY_NOOP_0 = 0,
  TVSK_DISCOVERY_NOOP_1 = 1,
  TVSK_DISCOVERY_START = 2,
  TVSK_DISCOVERY_CREATE = 3,
  TVSK_DISCOVERY_DESTROY = 4,
  TVSK_DISCOVERY_SET_CALLBACK = 5,
  TVSK_DISCOVERY_NOOP_6 = 6,
  TVSK_DISCOVERY_FREE_BUFFER = 7,
  TVSK_DISCOVERY_GET_VERSION = 9
};

typedef int (*DiscoverySapNoopFn)(void);
typedef int (*DiscoverySapStartFn)(void* discovery, const char* start_json);
typedef int (*DiscoverySapCreateFn)(void** out, const char* create_json);
typedef int (*DiscoverySapDestroyFn)(void* discovery);
typedef int (*DiscoverySapSetCallbackFn)(void* discovery, DiscoveryCallback fn, void* user);
typedef int (*DiscoverySapFreeBufferFn)(char* buffer);
typedef int (*DiscoverySapGetVersionFn)(int* major, int* minor);

#ifdef __cplusplus
}

namespace tvsk {

// The function type of each entry number: DiscoveryEntry<TVSK_DISCOVERY_START>::type.
template <int Id>
struct DiscoveryEntry;
// clang-format off
template <> struct DiscoveryEntry<TVSK_DISCOVERY_NOOP_0> { using type = DiscoverySapNoopFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_NOOP_1> { using type = DiscoverySapNoopFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_START> { using type = DiscoverySapStartFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_CREATE> { using type = DiscoverySapCreateFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_DESTROY> { using type = DiscoverySapDestroyFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_SET_CALLBACK> { using type = DiscoverySapSetCallbackFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_NOOP_6> { using type = DiscoverySapNoopFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_FREE_BUFFER> { using type = DiscoverySapFreeBufferFn; };
template <> struct DiscoveryEntry<TVSK_DISCOVERY_GET_VERSION> { using type = DiscoverySapGetVersionFn; };
// clang-format on

// The address a plug-in hands out for entry Id; does not compile unless `function` has that entry's type.
template <int Id>
void* discoveryEntryAddress(typename DiscoveryEntry<Id>::type function) {
  return reinterpret_cast<void*>(function);
}

// Entry Id of a loaded plug-in, typed; null when the plug-in does not serve it.
template <int Id>
typename DiscoveryEntry<Id>::type discoveryEntry(TVSK_Disco_Get_By_Id_Fn getById) {
  return reinterpret_cast<typename DiscoveryEntry<Id>::type>(getById(Id));
}

// The entries a host calls, each looked up once through the export.
struct DiscoveryEntryTable {
  DiscoverySapStartFn start = nullptr;
  DiscoverySapCreateFn create = nullptr;
  DiscoverySapDestroyFn destroy = nullptr;
  DiscoverySapSetCallbackFn setCallback = nullptr;
  DiscoverySapFreeBufferFn freeBuffer = nullptr;
  DiscoverySapGetVersionFn getVersion = nullptr;

  // False when the plug-in lacks one of them; freeBuffer may be missing, as the engine never gets
  // a buffer from a discovery plug-in.
  bool resolve(TVSK_Disco_Get_By_Id_Fn getById) {
    start = discoveryEntry<TVSK_DISCOVERY_START>(getById);
    create = discoveryEntry<TVSK_DISCOVERY_CREATE>(getById);
    destroy = discoveryEntry<TVSK_DISCOVERY_DESTROY>(getById);
    setCallback = discoveryEntry<TVSK_DISCOVERY_SET_CALLBACK>(getById);
    freeBuffer = discoveryEntry<TVSK_DISCOVERY_FREE_BUFFER>(getById);
    getVersion = discoveryEntry<TVSK_DISCOVERY_GET_VERSION>(getById);
    return start && create && destroy && setCallback && getVersion;
  }
};

}  // namespace tvsk
#endif
