#pragma once

#include <memory>

#include "sap/impl/session.h"
#include "sdp/src/session_description.h"

namespace sap {

// A subscriber of a service_browser. Both calls come on the I/O thread, under the listener's
// table lock. The SAP session names the table entry (origin and hash); the description is its
// parsed SDP.
class browser_callback {
 public:
  virtual ~browser_callback() = default;
  virtual void added(const session& announced, const std::shared_ptr<sdp::session_description>& description) = 0;
  virtual void removed(const session& announced, const std::shared_ptr<sdp::session_description>& description) = 0;
};

}  // namespace sap
