#include "outstation/clock_sync.h"

#include <cstring>

#include "core/clock.h"

namespace outstation {

void print_cp56_time(FILE* out, const iec104::Cp56Time2a& t) {
    std::fprintf(out, "%02i:%02i:%02i %02i/%02i/%04i", iec104::cp56_hour(t), iec104::cp56_minute(t),
                 iec104::cp56_second(t), iec104::cp56_day_of_month(t), iec104::cp56_month(t),
                 iec104::cp56_year(t) + 2000);
}

bool clock_sync_handler(int32_t clocksync_time_offset, iec104::Cp56Time2a& time) {
    std::printf("Process time sync command with time ");
    print_cp56_time(stdout, time);
    std::printf("\n");
    int value = 0;
    if (const char* field = iec104::cp56_unusable_field(time, value)) {
        if (std::strcmp(field, "IV") == 0)
            std::printf("Clock synchronisation refused: time marked invalid (IV)\n");
        else
            std::printf("Clock synchronisation refused: %s %d out of range\n", field, value);
        return false;
    }
    const int64_t t = iec104::cp56_to_ms(time) + int64_t(clocksync_time_offset) * 60000;
    const iec104::Cp56Time2a before = iec104::cp56_from_ms(core::wall_clock.now_ms());
    if (int err = core::wall_clock.set_ms(t); err != 0) {
        std::fprintf(stderr, "clock_sync_handler: Error setting system time: %s\n", std::strerror(err));
        return false;
    }
    time = before;
    return true;
}

}  // namespace outstation
