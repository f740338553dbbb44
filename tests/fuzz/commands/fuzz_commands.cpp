// A master's ASDUs through the outstation as server_setup wires it: the
// stack's dispatch, then the clock synchronisation, interrogation and
// command handlers of fpigate, on the sample configuration with a few more
// command points. The targets of the commands are fakes that record
// (outputs, DCU, FPI resets, parameter writes); the infoset checks are the
// real ones; the wall clock and its setter are fakes.
//
// Input: byte 0 sets the application layer (bit 0: 2-octet cause, bit 1:
// 2-octet common address, bits 2-3: IOA octets 1 + n % 3, bit 4: selects
// required for 5 s, bit 5: time tags at most 30 s from the clock); byte 1 says which
// outputs have their line (bits 0-5: outputs 1-5 and the DCU), bit 6 makes
// every output write fail, bit 7 makes the clock refuse to be set. Then ASDUs,
// each behind its length byte, in one connection.
//
// Checked: every reply is a well-formed ASDU; only an activation that is not
// a select acts (an output, the DCU, an FPI reset, a parameter write), and
// never a double command of state 0 or 3; an
// output driven is one whose line is there; only a clock synchronisation
// sets the clock, once.
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "core/semaphore.h"
#include "fpi/infoset.h"
#include "fpi/state.h"
#include "fpi/uplink.h"
#include "logs/stores.h"
#include "outstation/clock_sync.h"
#include "outstation/commands.h"
#include "outstation/data_points.h"
#include "outstation/reporting.h"
#include "outstation/station.h"
#include "rf/radio.h"
#include "lib/iec104/server_internal.h"
#include "lib/iec104/socket.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/clocks.h"

namespace {

struct recorder {
    uint8_t present = 0;  // bit k - 1: output k (6: the DCU line)
    bool outputs_fail = false;
    int drives = 0;
    int resets = 0;
    int stores = 0;
    int dcu_resets = 0;
    std::vector<int> reset_ids;  // slave ids of the RESET points
} rec;

bool drive_output(int k, int32_t) {
    if (k < 1 || k > 5 || !(rec.present >> (k - 1) & 1)) std::abort();  // a missing line is never driven
    ++rec.drives;
    return !rec.outputs_fail;
}
void pending_reset_store(uint8_t slave_id) {
    bool known = false;
    for (int id : rec.reset_ids) known = known || id == slave_id;
    if (!known) std::abort();  // only the FPI of a RESET point
    ++rec.resets;
}
int infoset_store_parameter(fpi::fpi_state& fpis, uint32_t ioa, uint32_t type_id, float value) {
    ++rec.stores;
    return fpi::infoset_check_parameter(fpis, ioa, type_id, value);
}
bool output_present(int k) { return k >= 1 && k <= 6 && (rec.present >> (k - 1) & 1); }
void reset_dcu() { ++rec.dcu_resets; }

int clock_error = 0;
int set_clock(int64_t ms) {
    if (clock_error) return clock_error;
    return fuzz_support::fake_set_wall_ms(ms);
}

// More targets than the sample has: output 4 taking double commands, a
// seventh output, RESET points as a double point, a normalized value and on
// output 5's IOA, a parameter in lower case and a parameter of an FPI 12.
void command_points(config::config& cfg) {
    for (config::iec104_ioa& p : cfg.dio_points)
        if (p.name == "do4") p.type_id = 31;
    cfg.dio_points.push_back({"do7", "digital_output", 18, 30, 1, 2000, 0});
    cfg.fpi_points.push_back({"fpi7_reset_on_do5", 7, "RESET", 15, 30});
    cfg.fpi_points.push_back({"fpi5_reset_double", 5, "RESET", 545, 31});
    cfg.fpi_points.push_back({"fpi6_reset_normalized", 6, "RESET", 646, 34});
    cfg.fpi_points.push_back({"fpi3_voltage_lower", 3, "voltage", 1336, 36});
    cfg.fpi_points.push_back({"fpi12_set_voltage", 12, "voltage", 1236, 36});
}

struct environment {
    config::config cfg;
    rf::radio radio;
    logs::log_stores stores;
    outstation::station station;
    fpi::fpi_state fpis{radio, stores, station};
    iec104::ServerHandlers handlers;

    environment() {
        fuzz_support::quiet_stdout();
        test_support::use_utc();
        fuzz_support::fake_clocks();
        core::wall_clock.set_ms = set_clock;
        fuzz_support::load_sample_config(cfg);
        command_points(cfg);
        for (const config::fpi_iec104_ioa& p : cfg.fpi_points)
            if (p.ioa_name && *p.ioa_name == "RESET") rec.reset_ids.push_back(p.slave_id);

        outstation::data_point_table_build(station.fpi_data_points, cfg.fpi_points, stdout);
        station.station_config = &cfg;
        fpi::fpi_configure(fpis, cfg);  // the real infoset checks look their points up in the station
        station.commands = {drive_output,
                            pending_reset_store,
                            [this](uint32_t ioa, uint32_t type_id, uint64_t, float value) {
                                return infoset_store_parameter(fpis, ioa, type_id, value);
                            },
                            fpi::is_infoset_parameter,
                            [this](uint32_t ioa, uint32_t type_id, float value) {
                                return fpi::infoset_check_parameter(fpis, ioa, type_id, value);
                            },
                            output_present,
                            reset_dcu};
        handlers.clock_sync = [this](const iec104::ConnectionPtr&, iec104::Asdu&, iec104::Cp56Time2a& time) {
            return outstation::clock_sync_handler(cfg.settings.clocksync_time_offset, time);
        };
        handlers.interrogation = [this](const iec104::ConnectionPtr& c, iec104::Asdu& a, uint8_t qoi) {
            return outstation::interrogation_handler(station, c, a, qoi);
        };
        handlers.asdu = [this](const iec104::ConnectionPtr& c, iec104::Asdu& a) {
            return outstation::asdu_handler(station, c, a);
        };
        handlers.read = [this](const iec104::ConnectionPtr& c, iec104::Asdu& a, uint32_t ioa) {
            return outstation::read_handler(station, c, a, ioa);
        };

        // A few values for the interrogation to send: single points, scaled
        // and short floating-point values.
        std::lock_guard lk(station.value_store_lock);
        for (int32_t ioa = 1; ioa <= 5; ++ioa)
            outstation::value_update(station, ioa, int32_t(ioa & 1), 30, fuzz_support::wall_now);
        for (int32_t ioa = 100; ioa <= 103; ++ioa)
            outstation::value_update(station, ioa, int32_t(ioa), 35, fuzz_support::wall_now);
        outstation::value_update(station, 1001, 52.52, 36, fuzz_support::wall_now);
    }
};

bool is_command(uint8_t type) {
    switch (type) {
    case iec104::C_SC_NA_1: case iec104::C_SC_TA_1: case iec104::C_DC_NA_1: case iec104::C_DC_TA_1:
    case iec104::C_SE_NA_1: case iec104::C_SE_TA_1: case iec104::C_SE_NB_1: case iec104::C_SE_TB_1:
    case iec104::C_SE_NC_1: case iec104::C_SE_TC_1: return true;
    default: return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static environment env;
    if (size < 2) return 0;
    iec104::AppLayerParameters p;
    p.size_of_cot = 1 + (data[0] & 1);
    p.originator_address = p.size_of_cot == 2 ? env.cfg.settings.oa : 0;
    p.size_of_ca = 1 + (data[0] >> 1 & 1);
    p.size_of_ioa = 1 + (data[0] >> 2 & 3) % 3;
    rec.present = data[1] & 0x3f;
    rec.outputs_fail = data[1] & 0x40;
    clock_error = data[1] & 0x80 ? EPERM : 0;
    env.cfg.settings.select_timeout_ms = data[0] & 0x10 ? 5000 : 0;
    env.cfg.settings.command_max_age_s = data[0] & 0x20 ? 30 : 0;
    outstation::reporting_configure(env.station, p, uint16_t(env.cfg.settings.ca));
    fuzz_support::wall_now = fuzz_support::start_wall_ms;

    auto c = std::make_shared<iec104::Connection>();
    c->app = p;
    c->event = iec104::make_eventfd();
    c->high.limit = c->low.limit = 256 * 1024;

    size_t at = 2;
    while (at < size) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        const std::span<const uint8_t> in(data + at + 1, length);
        at += 1 + length;

        iec104::Asdu a;
        const iec104::DecodeError e = iec104::decode_asdu(in, p, a);
        if (e != iec104::DecodeError::ok && e != iec104::DecodeError::unknown_type) continue;
        const iec104::Asdu received = a;
        const auto object = iec104::get_object(received, p, 0);
        rec.drives = rec.resets = rec.stores = rec.dcu_resets = 0;
        fuzz_support::wall_sets = 0;

        iec104::dispatch_asdu(env.handlers, c, a, e == iec104::DecodeError::ok);
        fuzz_support::wall_now += 1000;

        const int dcu = rec.dcu_resets;
        const bool acts = e == iec104::DecodeError::ok && is_command(received.type) && object &&
                          received.cot == iec104::COT_ACTIVATION && !object->select &&
                          !((received.type == iec104::C_DC_NA_1 || received.type == iec104::C_DC_TA_1) &&
                            (object->value == 0 || object->value == 3));
        if (!acts && (rec.drives || rec.resets || rec.stores || dcu)) std::abort();
        if (rec.drives + rec.resets + rec.stores + dcu > 1) std::abort();
        if (dcu && !output_present(6)) std::abort();
        if (fuzz_support::wall_sets > (received.type == iec104::C_CS_NA_1 ? 1 : 0)) std::abort();

        std::lock_guard lock(c->mutex);
        for (const auto& reply : c->high.entries) {
            iec104::Asdu r;
            const iec104::DecodeError re = iec104::decode_asdu(reply, p, r);
            if (re != iec104::DecodeError::ok && re != iec104::DecodeError::unknown_type) std::abort();
        }
        c->high = iec104::AsduQueue{.limit = 256 * 1024};
        c->low = iec104::AsduQueue{.limit = 256 * 1024};
    }
    return 0;
}
