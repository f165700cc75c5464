#pragma once

/* The device-proxy plug-in's entry table. The engine fetches entry N through the plug-in's one
   export, TVSK_Get_By_Id(N); a number the plug-in does not serve gives a null pointer. The plug-in,
   the engine's host, the test host and the tests all take the numbers and function types from here,
   so the compiler checks that both sides of the boundary mean the same function. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TVSK_DEVICE_EXPORT_NAME "TVSK_Get_By_Id"

typedef void* (*TVSK_Get_By_Id_Fn)(uint32_t id);

/* Receives a proxy's change records; the text lives only for the call. */
typedef void (*TVSK_DeviceCallback)(void* context, const char* message);

enum TVSK_DeviceEntryId {
  TVSK_DEVICE_GET_INFO = 0,
  TVSK_DEVICE_INITIALIZE = 1,
  TVSK_DEVICE_UNINITIALIZE = 2,
  TVSK_DEVICE_PROBE = 3,
  TVSK_DEVICE_CREATE = 4,
  TVSK_DEVICE_DELETE = 5,
  TVSK_DEVICE_ACTION = 6,
  TVSK_DEVICE_GET = 7,
  TVSK_DEVICE_FREE_BUFFER = 8,
  TVSK_DEVICE_REGISTER_CALLBACK = 9,
  TVSK_DEVICE_UNREGISTER_CALLBACK = 10,
  TVSK_DEVICE_ENTRY_11 = 11,
  TVSK_DEVICE_GET_PLUGIN_ID = 12,
  TVSK_DEVICE_ENTRY_COUNT = 13
};

typedef int32_t (*TVSK_DeviceGetInfoFn)(char** out);
typedef int32_t (*TVSK_DeviceInitializeFn)(void);
typedef int32_t (*TVSK_DeviceUninitializeFn)(void);
typedef int32_t (*TVSK_DeviceProbeFn)(const char* initJson);
typedef int32_t (*TVSK_DeviceCreateFn)(uint32_t id, const char* initJson, void** outProxy);
typedef int32_t (*TVSK_DeviceDeleteFn)(void* proxy);
typedef int32_t (*TVSK_DeviceActionFn)(void* proxy, const char* actionList);
typedef int32_t (*TVSK_DeviceGetFn)(void* proxy, const char* what, char** outBuf, uint32_t* outLen);
typedef int32_t (*TVSK_DeviceFreeBufferFn)(void* buffer);
typedef int64_t (*TVSK_DeviceRegisterCallbackFn)(void* proxy, TVSK_DeviceCallback fn, void* context);
typedef int32_t (*TVSK_DeviceUnregisterCallbackFn)(int64_t token);
typedef int32_t (*TVSK_DeviceEntry11Fn)(void);
typedef int32_t (*TVSK_DeviceGetPluginIdFn)(uint32_t* major, uint32_t* minor, char** name);

#ifdef __cplusplus
}

namespace tvsk {

// The function type of each entry number: DeviceEntry<TVSK_DEVICE_GET>::type.
template <int Id>
struct DeviceEntry;
// clang-format off
template <> struct DeviceEntry<TVSK_DEVICE_GET_INFO> { using type = TVSK_DeviceGetInfoFn; };
template <> struct DeviceEntry<TVSK_DEVICE_INITIALIZE> { using type = TVSK_DeviceInitializeFn; };
template <> struct DeviceEntry<TVSK_DEVICE_UNINITIALIZE> { using type = TVSK_DeviceUninitializeFn; };
template <> struct DeviceEntry<TVSK_DEVICE_PROBE> { using type = TVSK_DeviceProbeFn; };
template <> struct DeviceEntry<TVSK_DEVICE_CREATE> { using type = TVSK_DeviceCreateFn; };
template <> struct DeviceEntry<TVSK_DEVICE_DELETE> { using type = TVSK_DeviceDeleteFn; };
template <> struct DeviceEntry<TVSK_DEVICE_ACTION> { using type = TVSK_DeviceActionFn; };
template <> struct DeviceEntry<TVSK_DEVICE_GET> { using type = TVSK_DeviceGetFn; };
template <> struct DeviceEntry<TVSK_DEVICE_FREE_BUFFER> { using type = TVSK_DeviceFreeBufferFn; };
template <> struct DeviceEntry<TVSK_DEVICE_REGISTER_CALLBACK> { using type = TVSK_DeviceRegisterCallbackFn; };
template <> struct DeviceEntry<TVSK_DEVICE_UNREGISTER_CALLBACK> { using type = TVSK_DeviceUnregisterCallbackFn; };
template <> struct DeviceEntry<TVSK_DEVICE_ENTRY_11> { using type = TVSK_DeviceEntry11Fn; };
template <> struct DeviceEntry<TVSK_DEVICE_GET_PLUGIN_ID> { using type = TVSK_DeviceGetPluginIdFn; };
// clang-format on

// The address a plug-in hands out for entry Id; does not compile unless `function` has that entry's type.
template <int Id>
void* deviceEntryAddress(typename DeviceEntry<Id>::type function) {
  return reinterpret_cast<void*>(function);
}

// Entry Id of a loaded plug-in, typed; null when the plug-in does not serve it.
template <int Id>
typename DeviceEntry<Id>::type deviceEntry(TVSK_Get_By_Id_Fn getById) {
  return reinterpret_cast<typename DeviceEntry<Id>::type>(getById(Id));
}

// The entries a host calls, each looked up once through the export.
struct DeviceEntryTable {
  TVSK_DeviceGetInfoFn getInfo = nullptr;
  TVSK_DeviceInitializeFn initialize = nullptr;
  TVSK_DeviceUninitializeFn uninitialize = nullptr;
  TVSK_DeviceProbeFn probe = nullptr;
  TVSK_DeviceCreateFn create = nullptr;
  TVSK_DeviceDeleteFn destroy = nullptr;
  TVSK_DeviceActionFn action = nullptr;
  TVSK_DeviceGetFn get = nullptr;
  TVSK_DeviceFreeBufferFn freeBuffer = nullptr;
  TVSK_DeviceRegisterCallbackFn registerCallback = nullptr;
  TVSK_DeviceUnregisterCallbackFn unregisterCallback = nullptr;
  TVSK_DeviceGetPluginIdFn getPluginId = nullptr;

  // False when the plug-in lacks one of them.
  bool resolve(TVSK_Get_By_Id_Fn getById) {
    getInfo = deviceEntry<TVSK_DEVICE_GET_INFO>(getById);
    initialize = deviceEntry<TVSK_DEVICE_INITIALIZE>(getById);
    uninitialize = deviceEntry<TVSK_DEVICE_UNINITIALIZE>(getById);
    probe = deviceEntry<TVSK_DEVICE_PROBE>(getById);
    create = deviceEntry<TVSK_DEVICE_CREATE>(getById);
    destroy = deviceEntry<TVSK_DEVICE_DELETE>(getById);
    action = deviceEntry<TVSK_DEVICE_ACTION>(getById);
    get = deviceEntry<TVSK_DEVICE_GET>(getById);
    freeBuffer = deviceEntry<TVSK_DEVICE_FREE_BUFFER>(getById);
    registerCallback = deviceEntry<TVSK_DEVICE_REGISTER_CALLBACK>(getById);
    unregisterCallback = deviceEntry<TVSK_DEVICE_UNREGISTER_CALLBACK>(getById);
    getPluginId = deviceEntry<TVSK_DEVICE_GET_PLUGIN_ID>(getById);
    return getInfo && initialize && uninitialize && probe && create && destroy && action && get && freeBuffer &&
           registerCallback && unregisterCallback && getPluginId;
  }
};

}  // namespace tvsk
#endif
