#include "testing/plugin_host/annwatch_host_library.h"

#include <dlfcn.h>

#include <stdexcept>

namespace testing_support {

namespace {

template <typename Function>
Function as(void* entry) {
  return reinterpret_cast<Function>(entry);
}

}  // namespace

AnnwatchLibrary::AnnwatchLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    throw std::runtime_error(dlerror());
  }
  getById = as<TVSK_Disco_Get_By_Id_Fn>(dlsym(handle_, annwatch::kExportName));
  if (getById == nullptr) {
    dlclose(handle_);
    throw std::runtime_error(std::string("no export ") + annwatch::kExportName);
  }
  create = as<DiscoverySapCreateFn>(getById(annwatch::kCreate));
  start = as<DiscoverySapStartFn>(getById(annwatch::kStart));
  destroy = as<DiscoverySapDestroyFn>(getById(annwatch::kDestroy));
  setCallback = as<DiscoverySapSetCallbackFn>(getById(annwatch::kSetCallback));
  freeBuffer = as<DiscoverySapFreeBufferFn>(getById(annwatch::kFreeBuffer));
  getVersion = as<DiscoverySapGetVersionFn>(getById(annwatch::kGetVersion));
}

AnnwatchLibrary::~AnnwatchLibrary() {
  dlclose(handle_);
}

}  // namespace testing_support
