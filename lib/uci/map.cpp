#include "lib/uci/map.h"

#include <cerrno>
#include <cstdlib>

namespace uci {

bool parse_integer(std::string_view text, int32_t& value) {
    std::string s(text);  // strtoll needs the terminating zero
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s.c_str(), &end, 0);
    // The number must end where the text does: a zero byte inside the text
    // would end it early for strtoll.
    if (end == s.c_str() || end != s.c_str() + s.size() || errno == ERANGE) return false;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    value = int32_t(v);
    return true;
}

}  // namespace uci
