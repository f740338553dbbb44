// Bytes from the radio are untrusted: whatever arrives, the receive path must
// neither read nor write outside its buffers, and every frame it takes goes
// all the way: synchroniser, FI reset repair, frame and payload decoders,
// address check, dispatch by command code, and the FPI handlers (contact
// records, data points into the value store, pending reset, fault counting,
// parameter sets, acknowledgements) on the sample configuration.
//
// Input: byte 0 cuts the rest into reads (bits 0-4: 1 + n bytes, bit 5: x16,
// so 1..512 bytes, the size of the reader's buffer); byte 1 is the clock step
// between reads (x10 ms, both clocks); byte 2 prepares FPI state (bits 0-3: a
// complete parameter set waiting for that FPI 1-9, bit 4: a RESET waiting for
// FPI 1-9 as bits 5-7 + 1 say). The stores live in tmpfs, downlink frames go
// to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "fpi/contacts.h"
#include "fpi/fault_counter.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "fpi/state.h"
#include "fpi/uplink.h"
#include "outstation/data_points.h"
#include "outstation/reporting.h"
#include "outstation/station.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "rf/downlink.h"
#include "rf/frame.h"
#include "rf/parser.h"
#include "rf/radio.h"
#include "rf/reader.h"
#include "rf/uart.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/clocks.h"

namespace {

struct environment {
    config::config cfg;
    rf::radio radio;
    outstation::station station;
    std::string dir;
    // The nine infoset parameter points of each FPI, by parameter index.
    std::array<std::array<const config::fpi_iec104_ioa*, fpi::infoset_parameter_count>, 9> parameters{};
    logs::log_stores stores;
    fpi::fpi_state fpis{radio, stores, station};

    environment() {
        fuzz_support::quiet_stdout();
        test_support::use_utc();
        fuzz_support::fake_clocks();
        fuzz_support::load_sample_config(cfg);
        dir = fuzz_support::scratch_dir("rf");

        outstation::data_point_table_build(station.fpi_data_points, cfg.fpi_points, stdout);
        outstation::rtu_ioa_map_publish(station, cfg.fpi_points, stdout);
        const config::iec104_slave& s = cfg.settings;
        outstation::reporting_configure(station, {.size_of_cot = s.sizeof_cot, .originator_address = s.oa,
                                         .size_of_ca = s.sizeof_ca, .size_of_ioa = s.sizeof_ioa,
                                         .max_size_of_asdu = s.max_asdu_length},
                                        uint16_t(s.ca));
        fpi::fpi_configure(fpis, cfg);
        fpis.fault_pause_ms = 0;
        radio.downlink.pause_ms = 0;
        fuzz_support::open_empty_rf_log(stores, dir);
        // The radio: every downlink frame is written and gone.
        const int port = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (port <= STDERR_FILENO) std::abort();
        radio.rtu_fd = port;

        for (const config::fpi_iec104_ioa& p : cfg.fpi_points) {
            const int k = fpi::infoset_parameter_index(p);
            if (k >= 0 && fpi::valid_slave(p.slave_id) && !parameters[size_t(p.slave_id - 1)][size_t(k)])
                parameters[size_t(p.slave_id - 1)][size_t(k)] = &p;
        }
    }

    // Every FPI as after start-up, with nothing pending.
    void reset() {
        fuzz_support::wall_now = fuzz_support::start_wall_ms;
        fuzz_support::monotonic_now = fuzz_support::start_monotonic_ms;
        fpi::contact_table_init(fpis);
        for (int id = 1; id <= 9; ++id) {
            fpi::infoset_clear(fpis, id);
            fpi::pending_reset_clear(fpis, id);
        }
        std::error_code ec;
        std::filesystem::remove(dir + "/fault_counter_db.bin", ec);
        fpi::fault_counter_load(fpis.faults, dir);
        {
            std::lock_guard lk(station.value_store_lock);
            station.station_values = {};
        }
        {
            std::lock_guard lk(stores.rf_data_lock);
            stores.recent_rf_data = {};
        }
        logs::log_flush(stores);  // the last input's records, through the writer into the bounded RF log
    }

    void complete_parameter_set(int slave) {
        for (const config::fpi_iec104_ioa* p : parameters[size_t(slave - 1)])
            if (p) fpi::infoset_store_parameter(fpis, uint32_t(p->ioa), uint32_t(p->type_id), uint64_t(fuzz_support::wall_now), 1.0f);
    }
};

// The synchroniser's frames on their own: each frame that decodes serialises
// back to its own length, and no frame is longer than a frame can be.
void check_frames(rf::rf_parser& parser, std::vector<uint8_t> read) {
    bool repaired = false;
    size_t at = 0;
    while (at < read.size()) {
        size_t used = 0;
        const int n = rf::rf_parser_feed(parser, read.data() + at, read.size() - at, &used);
        at += used;
        if (n > 0) {
            if (n > int(rf::max_frame_size)) std::abort();
            rf::rf_frame f;
            if (rf::rf_frame_decode(parser.buffer.data(), size_t(n), &f) == 0) {
                rf::rf_record r;
                rf::rf_payload_decode(f, r);
                uint8_t out[rf::max_frame_size];
                size_t len = 0;
                rf::rf_frame_serialize(&f, out, &len);
                if (len != size_t(n)) std::abort();
            }
        } else if (n < 0) {
            if (!repaired && rf::fi_reset_length_repair(read.data(), read.size())) {
                repaired = true;
                rf::rf_parser_reset(parser);
                at = 0;
            }
        } else {
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static environment env;
    if (size < 3) return 0;
    const size_t chunk = size_t(1 + (data[0] & 31)) * (data[0] & 0x20 ? 16 : 1);
    const uint64_t step = uint64_t(data[1]) * 10;
    const uint8_t state = data[2];
    env.reset();
    if (const int slave = state & 15; fpi::valid_slave(slave)) env.complete_parameter_set(slave);
    if (state & 0x10) fpi::pending_reset_store(env.fpis, uint8_t(1 + (state >> 5)));

    rf::rf_parser alone, reader;
    alone.now_ms = reader.now_ms = fuzz_support::fake_monotonic_ms;
    for (size_t pos = 3; pos < size; pos += chunk) {
        // exact size: ASan sees every read past the end
        std::vector<uint8_t> read(data + pos, data + std::min(size, pos + chunk));
        fuzz_support::monotonic_now += step;
        fuzz_support::wall_now += int64_t(step);
        check_frames(alone, read);
        rf::rf_process_read(env.radio, reader, fpi::uplink_handler_table(env.fpis), read.data(), read.size());
    }

    {
        std::lock_guard lk(env.stores.rf_data_lock);
        const logs::rf_data_list& list = env.stores.recent_rf_data;
        if (list.count != int32_t(list.entries.size()) || list.count > logs::rf_data_capacity) std::abort();
        for (const logs::rf_data_entry& e : list.entries)
            if (e.frame.size() > logs::rf_data_frame_text_max || e.error_msg.size() > logs::rf_data_msg_max) std::abort();
    }
    {
        std::lock_guard lk(env.station.value_store_lock);
        const int count = env.station.station_values.count;
        if (count < 0 || count > outstation::value_store_capacity) std::abort();
    }
    return 0;
}
