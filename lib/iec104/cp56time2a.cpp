#include "lib/iec104/cp56time2a.h"

namespace iec104 {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

Cp56Time2a cp56_from_ms(int64_t ms) {
    const int64_t days = floor_div(ms, 86400000);
    const int64_t in_day = ms - days * 86400000;
    int64_t year;
    int month, day;
    civil_from_days(days, year, month, day);
    const int minute = int(in_day / 60000 % 60);
    const int hour = int(in_day / 3600000);
    const int ms_in_minute = int(in_day % 60000);
    int64_t year_in_century = year % 100;
    if (year_in_century < 0) year_in_century += 100;

    Cp56Time2a t;
    t.bytes[0] = uint8_t(ms_in_minute & 0xff);
    t.bytes[1] = uint8_t(ms_in_minute >> 8);
    t.bytes[2] = uint8_t(minute);
    t.bytes[3] = uint8_t(hour);
    t.bytes[4] = uint8_t(day);
    t.bytes[5] = uint8_t(month);
    t.bytes[6] = uint8_t(year_in_century);
    return t;
}

int64_t cp56_to_ms(const Cp56Time2a& t) {
    const int64_t days = days_from_civil(2000 + cp56_year(t), cp56_month(t), cp56_day_of_month(t));
    const int64_t ms_in_minute = t.bytes[0] | t.bytes[1] << 8;
    return days * 86400000 + int64_t(cp56_hour(t)) * 3600000 + int64_t(cp56_minute(t)) * 60000 +
           ms_in_minute;
}

const char* cp56_unusable_field(const Cp56Time2a& t, int& value) {
    value = 1;
    if (cp56_invalid(t)) return "IV";
    struct field {
        const char* name;
        int value, low, high;
    };
    const field fields[] = {
        {"millisecond", t.bytes[0] | t.bytes[1] << 8, 0, 59999},
        {"minute", cp56_minute(t), 0, 59},
        {"hour", cp56_hour(t), 0, 23},
        {"day of month", cp56_day_of_month(t), 1, 31},
        {"month", cp56_month(t), 1, 12},
        {"year", cp56_year(t), 0, 99},
    };
    for (const field& f : fields)
        if (f.value < f.low || f.value > f.high) {
            value = f.value;
            return f.name;
        }
    return nullptr;
}

}  // namespace iec104
