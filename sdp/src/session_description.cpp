#include "sdp/src/session_description.h"

namespace sdp {

std::string connection::address() const { return address_text.substr(0, address_text.find('/')); }

}  // namespace sdp
