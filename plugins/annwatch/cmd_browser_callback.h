#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "sap/impl/browser_callback.h"

namespace annwatch {

class DiscoverySap;

// Turns the sessions of one interface's browser into "Add" and "Remove" messages of its
// discovery object. Each table entry gets its own Id; a filtered origin gets none.
class cmd_browser_callback : public sap::browser_callback {
 public:
  cmd_browser_callback(std::string name, std::string filter, DiscoverySap& owner, size_t browser_index);

  void added(const sap::session& announced, const std::shared_ptr<sdp::session_description>& description) override;
  void removed(const sap::session& announced, const std::shared_ptr<sdp::session_description>& description) override;

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] const std::string& filter() const { return filter_; }

 private:
  void print(const sdp::session_description& description, const char* what) const;

  std::string name_;
  // The session name subscribed to; "" for all.
  std::string filter_;
  DiscoverySap& owner_;
  // Which of the owner's browsers this one listens to.
  size_t browser_;
};

}  // namespace annwatch
