#pragma once

#include <cstdint>
#include <string>

#include "tvsk/DiscoveryPluginEntries.h"

namespace testing_support {

// annwatch.so opened with dlopen, its entries looked up through its one export as the engine
// does. Entries the plug-in does not serve stay null.
class AnnwatchLibrary : public tvsk::DiscoveryEntryTable {
 public:
  // Throws std::runtime_error with dlerror's text when the library or its export is missing.
  explicit AnnwatchLibrary(const std::string& path);
  ~AnnwatchLibrary();
  AnnwatchLibrary(const AnnwatchLibrary&) = delete;
  AnnwatchLibrary& operator=(const AnnwatchLibrary&) = delete;

  [[nodiscard]] void* entry(uint32_t id) const { return getById(id); }

  TVSK_Disco_Get_By_Id_Fn getById = nullptr;

 private:
  void* handle_ = nullptr;
};

}  // namespace testing_support
