#include "testing/plugin_host/annwatch_host_library.h"

#include <dlfcn.h>

#include <stdexcept>

namespace testing_support {

AnnwatchLibrary::AnnwatchLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    throw std::runtime_error(dlerror());
  }
  getById = reinterpret_cast<TVSK_Disco_Get_By_Id_Fn>(dlsym(handle_, TVSK_DISCOVERY_EXPORT_NAME));
  if (getById == nullptr) {
    dlclose(handle_);
    throw std::runtime_error(std::string("no export ") + TVSK_DISCOVERY_EXPORT_NAME);
  }
  resolve(getById);
}

AnnwatchLibrary::~AnnwatchLibrary() { dlclose(handle_); }

}  // namespace testing_support
