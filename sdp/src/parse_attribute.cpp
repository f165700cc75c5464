#include "sdp/src/attribute.h"

namespace sdp {

std::shared_ptr<attribute> parse_attribute(std::string_view text) {
  return std::make_shared<basic_attribute>(std::string(text), std::string());
}

}  // namespace sdp
