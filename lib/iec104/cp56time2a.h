// CP56Time2a: the seven-octet time tag of IEC 60870-5, kept as its wire bytes.
#pragma once

#include <array>
#include <cstdint>

namespace iec104 {

struct Cp56Time2a {
    std::array<uint8_t, 7> bytes{};
    bool operator==(const Cp56Time2a&) const = default;
};

// Breaks milliseconds since 1970 down as UTC. IV, SU, day of week and the
// reserved bit are 0; the year is stored modulo 100.
Cp56Time2a cp56_from_ms(int64_t ms);

// Reads the fields as UTC with the year taken as 2000 + value (2000..2099).
// IV, SU, day of week and the reserved bit are ignored.
int64_t cp56_to_ms(const Cp56Time2a& t);

inline int cp56_millisecond(const Cp56Time2a& t) { return (t.bytes[0] | t.bytes[1] << 8) % 1000; }
inline int cp56_second(const Cp56Time2a& t) { return (t.bytes[0] | t.bytes[1] << 8) / 1000; }
inline int cp56_minute(const Cp56Time2a& t) { return t.bytes[2] & 0x3f; }
inline int cp56_hour(const Cp56Time2a& t) { return t.bytes[3] & 0x1f; }
inline int cp56_day_of_month(const Cp56Time2a& t) { return t.bytes[4] & 0x1f; }
inline int cp56_month(const Cp56Time2a& t) { return t.bytes[5] & 0x0f; }
inline int cp56_year(const Cp56Time2a& t) { return t.bytes[6] & 0x7f; }  // 0..99 within the century
inline bool cp56_invalid(const Cp56Time2a& t) { return t.bytes[2] & 0x80; }
inline bool cp56_summer_time(const Cp56Time2a& t) { return t.bytes[3] & 0x80; }

// What makes the time unusable: "IV" when its invalid bit is set, else the
// first field out of range ("millisecond" above 59999, "minute" above 59,
// "hour" above 23, "day of month" 0 or above 31, "month" 0 or above 12,
// "year" above 99), with the field's value in `value`; nullptr when usable.
const char* cp56_unusable_field(const Cp56Time2a& t, int& value);

}  // namespace iec104
