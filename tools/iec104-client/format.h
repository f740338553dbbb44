// The text line iec104-client prints for each received information object.
#pragma once

#include <string>
#include <vector>

#include "lib/iec104/asdu.h"

namespace iec104_client {

// "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=100 value=1 quality=0x00 time=-",
// one line per object; an ASDU without readable objects gives one line with
// ioa, value, quality and time "-".
std::vector<std::string> format_asdu(const iec104::Asdu& asdu, const iec104::AppLayerParameters& p);

// "2024-03-31T01:59:58.765Z"
std::string format_time(const iec104::Cp56Time2a& t);

}  // namespace iec104_client
