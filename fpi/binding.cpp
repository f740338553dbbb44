#include "fpi/binding.h"

#include <mutex>

#include "fpi/state.h"
#include "outstation/data_points.h"
#include "outstation/reporting.h"

namespace fpi {

namespace {

constexpr const char* row_names[binding_rows] = {
    "I_Status",   "Di_Dt_inrush", "Di_Dt_transient", "Di_Dt_permanent", "Imax_inrush", "Imax_transient",
    "Imax_permanent", "I_MEAN",   "I_Min",           "I_Max",           "V_Status",    "VINST",
    "BATTV",      "BATT_EVENT",   "RF_RSSI",         "Di_Dt_level",     "Imax_Level",  "Auto_Reset",
    "Flash_Time", "INRUSH",       "VALIDATION",      "VOLTAGE",         "FREQUENCY",   "PERIOD",
    "FAULT",      "SLAVE_STATUS", "RESET",           "INFOSET_STATUS",
};

void set(point_binding& b, int row, bind_kind kind, uint32_t value) { b[size_t(row)] = {b[size_t(row)].name, kind, value}; }

// Rows 0 to 14: the measurements that wake-up, join, event and flash-mode
// frames all carry.
void measurements(point_binding& b, uint8_t i_status, uint16_t i_mean, uint16_t i_min, uint16_t i_max,
                  uint8_t v_status, uint16_t v_inst, uint8_t battery_v, uint8_t rssi) {
    set(b, 0, bind_kind::int8, i_status);
    constexpr uint8_t flag_status[6] = {19, 20, 21, 3, 4, 5};  // Di/Dt inrush .. Imax permanent
    for (int k = 0; k < 6; ++k) set(b, 1 + k, bind_kind::int8, i_status == flag_status[k]);
    set(b, 7, bind_kind::int16, i_mean);
    set(b, 8, bind_kind::int16, i_min);
    set(b, 9, bind_kind::int16, i_max);
    set(b, 10, bind_kind::int8, v_status == 0);
    set(b, 11, bind_kind::scaled16, v_inst);
    set(b, 12, bind_kind::scaled8, battery_v);
    set(b, 13, bind_kind::int8, battery_v <= 31);
    set(b, 14, bind_kind::int8, rssi);
}

}  // namespace

point_binding empty_binding() {
    point_binding b;
    for (int i = 0; i < binding_rows; ++i) b[size_t(i)] = {row_names[i]};
    return b;
}

point_binding wakeup_binding(const rf::wakeup_data& w) {
    point_binding b = empty_binding();
    measurements(b, w.i_status, w.i_mean, w.i_min, w.i_max, w.v_status, w.v_inst, w.battery_v, w.rssi);
    set(b, 15, bind_kind::int8, w.di_dt_level);
    set(b, 16, bind_kind::int16, w.imax_level);
    set(b, 17, bind_kind::int8, w.auto_reset);
    set(b, 18, bind_kind::int8, w.flash_time);
    set(b, 19, bind_kind::int8, w.transient_on);
    set(b, 20, bind_kind::int8, w.validation);
    set(b, 21, bind_kind::scaled16, w.mv);
    set(b, 22, bind_kind::int8, w.frequency);
    set(b, 23, bind_kind::int8, w.period);
    set(b, row_fault, bind_kind::int8, 0);
    set(b, row_slave_status, bind_kind::int8, 1);
    set(b, row_reset, bind_kind::int8, 0);
    return b;
}

point_binding event_binding(const rf::event_data& e, bool flash_mode) {
    point_binding b = empty_binding();
    measurements(b, e.i_status, e.i_mean, e.i_min, e.i_max, e.v_status, e.v_inst, e.battery_v, e.rssi);
    set(b, row_fault, bind_kind::int8, flash_mode);
    set(b, row_slave_status, bind_kind::int8, 1);
    set(b, row_reset, bind_kind::int8, 0);
    return b;
}

point_binding fi_reset_binding(uint8_t reset_type) {
    point_binding b = empty_binding();
    set(b, row_fault, bind_kind::int8, 0);
    set(b, row_slave_status, bind_kind::int8, 1);
    set(b, row_reset, bind_kind::int8, reset_type);
    return b;
}

point_binding single_row_binding(int row, int32_t value) {
    point_binding b = empty_binding();
    set(b, row, bind_kind::int8, uint32_t(value));
    return b;
}

void publish_slave_points(fpi_state& fs, const point_binding& b, int64_t time_ms, int slave_id) {
    outstation::station& station = fs.station;
    const outstation::slave_node* node = outstation::slave_point_list(station, slave_id);
    if (!node) return;
    std::lock_guard lk(station.value_store_lock);
    for (size_t i = 0; i < node->points.size() && i < b.size(); ++i) {
        const binding_row& row = b[i];
        const outstation::slave_point& p = node->points[i];
        switch (row.kind) {
        case bind_kind::none: break;
        case bind_kind::int8:
        case bind_kind::int16: outstation::value_update(station, p.ioa, int32_t(row.value), p.type_id, time_ms); break;
        case bind_kind::scaled8:
        case bind_kind::scaled16:
            outstation::value_update(station, p.ioa, double(float(row.value) * 0.1f), p.type_id, time_ms);
            break;
        }
    }
}

void mark_slave_points_not_topical(fpi_state& fs, int64_t time_ms, int slave_id) {
    outstation::station& station = fs.station;
    const outstation::slave_node* node = outstation::slave_point_list(station, slave_id);
    if (!node) return;
    std::lock_guard lk(station.value_store_lock);
    for (size_t i = 0; i < node->points.size() && i < size_t(binding_rows); ++i) {
        if (i == size_t(row_slave_status)) continue;
        const outstation::slave_point& p = node->points[i];
        outstation::quality_update(station, p.ioa, p.type_id, outstation::quality_not_topical, time_ms);
    }
}

}  // namespace fpi
