// One line per received frame, in the key=value words of the script.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rf/frame.h"

namespace fpisim {

// "CMD_INFO_SET from=10 to=3 group=0102030405 location=\"...\" didt_level=10 ..."
std::string describe_frame(const rf::rf_frame& frame);

// "01 18 81"
std::string hex(const uint8_t* bytes, size_t count);
inline std::string hex(const std::vector<uint8_t>& b) { return hex(b.data(), b.size()); }

}  // namespace fpisim
