#pragma once

#include <dlfcn.h>

#include <string>
#include <utility>

namespace tvsk {

// A plug-in's shared object, opened with its symbols kept to itself and closed when the handle
// goes, so every way out of a failed load closes it.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  ~SharedLibrary() { close(); }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  SharedLibrary(SharedLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  SharedLibrary& operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  // False with the loader's reason when the file cannot be loaded.
  [[nodiscard]] bool open(const std::string& path, std::string& error) {
    close();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* reason = dlerror();
      error = reason != nullptr ? reason : "cannot be loaded";
    }
    return handle_ != nullptr;
  }

  // The exported function of that name, or null.
  template <typename Function>
  [[nodiscard]] Function function(const char* name) const {
    return handle_ != nullptr ? reinterpret_cast<Function>(dlsym(handle_, name)) : nullptr;
  }

  void close() {
    if (handle_ != nullptr) {
      dlclose(std::exchange(handle_, nullptr));
    }
  }

 private:
  void* handle_ = nullptr;
};

}  // namespace tvsk
