// How the masters learn the values: station interrogation on the requesting
// connection, cyclic transmission and spontaneous reports to every master
// holding an online slot. value_update is the one way to change a value.
//
// Sending only queues on the connection, so a slow or dead master never
// delays a producer or another master.
#pragma once

#include <cstdint>
#include <functional>

#include "outstation/value_store.h"
#include "lib/iec104/server.h"

namespace outstation {

// The process-wide store; every access holds core::value_store_lock.
extern value_store station_values;

// Application layer parameters and common address of the ASDUs we build;
// set by server_setup before the server runs.
void reporting_configure(const iec104::AppLayerParameters& app, uint16_t ca);

// Changes the value store. The caller holds core::value_store_lock. A point's
// first value is stored, not reported; a changed value is reported
// spontaneously to every online slot; an equal one only refreshes the time.
void value_update(int32_t ioa, point_value value, int32_t type_id, int64_t timestamp);

// One ASDU with cause 3 and the time-tagged object to every online slot.
void report_spontaneous(int32_t ioa, const point_value& value, int32_t type_id, int64_t timestamp);

// Station interrogation (QOI 20): positive ACT_CON, the single and double
// points, then the measured values, as sequence ASDUs without time tag, then
// ACT_TERM. Any other qualifier gets a negative ACT_CON only.
bool interrogation_handler(const iec104::ConnectionPtr& c, iec104::Asdu& asdu, uint8_t qoi);

// The periodic transmission: the same two passes with time tags and cause 1,
// to every online slot.
void cyclic_transmission();

// One pass over the store: every group of the pass's types as sequence ASDUs
// of `cot`, a group that does not fit one ASDU split over as many as it takes.
// Each finished ASDU is handed to `send`. The caller holds value_store_lock.
void build_group_asdus(const value_store& s, bool measured_pass, bool with_time, uint8_t cot,
                       const iec104::AppLayerParameters& app, uint16_t ca,
                       const std::function<void(const iec104::Asdu&)>& send);

}  // namespace outstation
