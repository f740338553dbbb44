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

struct station;

// Application layer parameters and common address of the ASDUs we build;
// set by server_setup before the server runs.
void reporting_configure(station& st, const iec104::AppLayerParameters& app, uint16_t ca);

// Changes the station's value store. The caller holds st.value_store_lock. A
// point's first value is stored, not reported; a changed value is reported
// spontaneously to every online slot; an equal one only refreshes the time.
void value_update(station& st, int32_t ioa, point_value value, int32_t type_id, int64_t timestamp);

// One ASDU with cause 3 and the time-tagged object to every online slot.
void report_spontaneous(station& st, int32_t ioa, const point_value& value, int32_t type_id, int64_t timestamp);

// Sets the quality of the stored values of (ioa, type_id), of either kind:
// each whose quality changes takes the timestamp and is reported
// spontaneously with its last value and the new quality. A value that has
// none yet is left alone. The next value_update of the point brings the
// quality back to 0 and is reported even when the value is equal. The
// caller holds st.value_store_lock.
void quality_update(station& st, int32_t ioa, int32_t type_id, uint8_t quality, int64_t timestamp);

// Station interrogation (QOI 20): positive ACT_CON, the single and double
// points, then the measured values, as sequence ASDUs without time tag, then
// ACT_TERM (packed with asdu_packing). Any other qualifier gets a negative
// ACT_CON only.
bool interrogation_handler(station& st, const iec104::ConnectionPtr& c, iec104::Asdu& asdu, uint8_t qoi);

// The periodic transmission: the same two passes with time tags and cause 1,
// to every online slot.
void cyclic_transmission(station& st);

// One pass of an interrogation or cyclic transmission: packed when the
// station's asdu_packing is on, else the sequence ASDUs of its groups.
void build_pass_asdus(station& st, bool measured_pass, bool with_time, uint8_t cot,
                      const iec104::AppLayerParameters& app,
                      const std::function<void(const iec104::Asdu&)>& send);

// One pass over the station's store: every group of the pass's types as
// sequence ASDUs of `cot`, a group that does not fit one ASDU split over as
// many as it takes. Each finished ASDU is handed to `send`. The caller holds
// st.value_store_lock.
void build_group_asdus(station& st, bool measured_pass, bool with_time, uint8_t cot,
                       const iec104::AppLayerParameters& app,
                       const std::function<void(const iec104::Asdu&)>& send);

// The same pass packed: the points of each type, in the order the store first
// holds the types, in as few ASDUs as they fit (max_asdu_length, 127
// objects), runs of consecutive IOAs as sequences where that saves octets
// and the others with an IOA each (SQ = 0); plan_packing says how. The
// caller holds st.value_store_lock.
void build_packed_asdus(station& st, bool measured_pass, bool with_time, uint8_t cot,
                        const iec104::AppLayerParameters& app,
                        const std::function<void(const iec104::Asdu&)>& send);

}  // namespace outstation
