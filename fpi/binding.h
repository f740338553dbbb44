// The 28-row point binding: which of a frame's values goes to which of the
// FPI's data points. Rows bind by position: the n-th configured point of the
// FPI takes row n, whatever its name.
#pragma once

#include <array>
#include <cstdint>

#include "rf/records.h"

namespace fpi {

struct fpi_state;

constexpr int binding_rows = 28;

enum class bind_kind : uint8_t { none, int8, int16, scaled8, scaled16 };  // scaled: value x 0.1

struct binding_row {
    const char* name;
    bind_kind kind = bind_kind::none;
    uint32_t value = 0;
};

using point_binding = std::array<binding_row, binding_rows>;

enum binding_row_index {
    row_i_status = 0,
    row_fault = 24,
    row_slave_status = 25,
    row_reset = 26,
    row_infoset_status = 27,
};

// Every row named, none published.
point_binding empty_binding();
point_binding wakeup_binding(const rf::wakeup_data& w);
point_binding event_binding(const rf::event_data& e, bool flash_mode);
point_binding fi_reset_binding(uint8_t reset_type);
// Only one integer row published, with `value` (offline and infoset status reports).
point_binding single_row_binding(int row, int32_t value);

// Hands the bound values of the slave's points to the value store of the
// state's station, under its value_store_lock for the whole walk. Ids outside 1-9 publish nothing.
void publish_slave_points(fpi_state& fs, const point_binding& b, int64_t time_ms, int slave_id);

// Marks the slave's points not topical (NT), each reported spontaneously
// with its last value, all but SLAVE_STATUS, which the gateway itself keeps
// current; the slave's next telegram brings each point it carries back to
// quality 0. Under the station's value_store_lock; ids outside 1-9 mark nothing.
void mark_slave_points_not_topical(fpi_state& fs, int64_t time_ms, int slave_id);

}  // namespace fpi
