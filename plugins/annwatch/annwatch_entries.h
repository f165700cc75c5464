#pragma once

// The entry table of the stream-discovery plug-in as the engine sees it: the one export
// TVSK_Disco_Get_By_Id hands out the entry function for each number, or null.

#include <cstdint>

extern "C" {

// Receives each "Add" and "Remove" message; the text lives only for the call.
typedef void (*DiscoveryCallback)(void* user, const char* json);

typedef int (*DiscoverySapNoopFn)();
typedef int (*DiscoverySapStartFn)(void* discovery, const char* start_json);
typedef int (*DiscoverySapCreateFn)(void** out, const char* create_json);
typedef int (*DiscoverySapDestroyFn)(void* discovery);
typedef int (*DiscoverySapSetCallbackFn)(void* discovery, DiscoveryCallback fn, void* user);
typedef int (*DiscoverySapFreeBufferFn)(char* buffer);
typedef int (*DiscoverySapGetVersionFn)(int* major, int* minor);

typedef void* (*TVSK_Disco_Get_By_Id_Fn)(uint32_t id);
}

namespace annwatch {

// Entry numbers of TVSK_Disco_Get_By_Id.
enum entry_id : uint32_t {
  kNoop0 = 0,
  kNoop1 = 1,
  kStart = 2,
  kCreate = 3,
  kDestroy = 4,
  kSetCallback = 5,
  kNoop6 = 6,
  kFreeBuffer = 7,
  kGetVersion = 9,
};

constexpr const char* kExportName = "TVSK_Disco_Get_By_Id";
constexpr int kVersionMajor = 0;
constexpr int kVersionMinor = 3;

}  // namespace annwatch
