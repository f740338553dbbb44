#include "iec104/aux_values.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "app/clock.h"
#include "app/locks.h"
#include "fpi/fault_counter.h"
#include "iec104/reporting.h"

namespace outstation {

namespace {

// Whole seconds of the wall clock, shifted, in milliseconds.
int64_t aux_time(int32_t asdu_time_offset) {
    return (app::wall_clock.now_ms() / 1000 + 60 * int64_t(asdu_time_offset)) * 1000;
}

bool named(const app::fpi_aux_iec104_ioa& p, const char* name) {
    return strcasecmp(p.ioa_name->c_str(), name) == 0;
}

}  // namespace

void publish_aux_position(std::span<const app::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset) {
    const int64_t time = aux_time(asdu_time_offset);
    for (const app::fpi_aux_iec104_ioa& p : aux) {
        if (!p.ioa_name) continue;
        std::printf("\nFPI Aux IOA Name %s, Value %s\n", p.ioa_name->c_str(),
                    p.ioa_value ? p.ioa_value->c_str() : "NULL");
        const bool longitude = named(p, "LONGITUDE");
        if ((longitude || named(p, "LATITUDE")) && p.ioa_value) {
            const double v = std::strtof(p.ioa_value->c_str(), nullptr);
            std::lock_guard lk(app::value_store_lock);
            value_update(p.ioa, v, p.type_id, time);
        }
        if (longitude) break;
    }
}

void publish_fault_totals(std::span<const app::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset) {
    const int64_t time = aux_time(asdu_time_offset);
    fpi::fault_counter_stats stats;
    if (!fpi::fault_counter_get_stats(&stats, uint64_t(time))) return;
    fpi::fault_counter_print_stats();
    static const char* const names[3][2] = {
        {"Group1_Last_7_days_Faults", "Group1_Total_Faults"},
        {"Group2_Last_7_days_Faults", "Group2_Total_Faults"},
        {"Group3_Last_7_days_Faults", "Group3_Total_Faults"},
    };
    for (const app::fpi_aux_iec104_ioa& p : aux) {
        if (!p.ioa_name) continue;
        std::printf("\nFPI Aux IOA Name %s\n", p.ioa_name->c_str());
        for (int g = 0; g < 3; ++g) {
            const fpi::fault_group_stats& gs = stats.groups[size_t(g)];
            for (int which = 0; which < 2; ++which) {
                if (!named(p, names[g][which])) continue;
                const uint32_t count = which == 0 ? gs.last_7_days : gs.total;
                std::lock_guard lk(app::value_store_lock);
                value_update(p.ioa, double(count), p.type_id, time);
            }
        }
    }
}

}  // namespace outstation
