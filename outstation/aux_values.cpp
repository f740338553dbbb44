#include "outstation/aux_values.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/clock.h"
#include "outstation/reporting.h"
#include "outstation/station.h"

namespace outstation {

int64_t aux_time(int32_t asdu_time_offset) {
    return (core::wall_clock.now_ms() / 1000 + 60 * int64_t(asdu_time_offset)) * 1000;
}

namespace {

bool named(const config::fpi_aux_iec104_ioa& p, const char* name) {
    return strcasecmp(p.ioa_name->c_str(), name) == 0;
}

}  // namespace

void publish_aux_position(station& st, std::span<const config::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset) {
    const int64_t time = aux_time(asdu_time_offset);
    for (const config::fpi_aux_iec104_ioa& p : aux) {
        if (!p.ioa_name) continue;
        std::printf("\nFPI Aux IOA Name %s, Value %s\n", p.ioa_name->c_str(),
                    p.ioa_value ? p.ioa_value->c_str() : "NULL");
        const bool longitude = named(p, "LONGITUDE");
        if ((longitude || named(p, "LATITUDE")) && p.ioa_value) {
            const double v = std::strtof(p.ioa_value->c_str(), nullptr);
            std::lock_guard lk(st.value_store_lock);
            value_update(st, p.ioa, v, p.type_id, time);
        }
        if (longitude) break;
    }
}

void publish_group_totals(station& st, std::span<const config::fpi_aux_iec104_ioa> aux, int64_t time,
                          const std::array<group_totals, 3>& totals) {
    static constexpr const char* names[3][2] = {
        {"Group1_Last_7_days_Faults", "Group1_Total_Faults"},
        {"Group2_Last_7_days_Faults", "Group2_Total_Faults"},
        {"Group3_Last_7_days_Faults", "Group3_Total_Faults"},
    };
    for (const config::fpi_aux_iec104_ioa& p : aux) {
        if (!p.ioa_name) continue;
        std::printf("\nFPI Aux IOA Name %s\n", p.ioa_name->c_str());
        for (int g = 0; g < 3; ++g) {
            const group_totals& gs = totals[size_t(g)];
            for (int which = 0; which < 2; ++which) {
                if (!named(p, names[g][which])) continue;
                const uint32_t count = which == 0 ? gs.last_7_days : gs.total;
                std::lock_guard lk(st.value_store_lock);
                value_update(st, p.ioa, double(count), p.type_id, time);
            }
        }
    }
}

}  // namespace outstation
