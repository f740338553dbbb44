// CSV export of full logs (10000 live records each, after a wrap-around).
// Goal: a full RF log export well under 100 ms.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "logs/writer.h"
#include "tests/support/capture.h"
#include "tests/support/temp_dir.h"

namespace {

struct full_logs {
    test_support::temp_dir tmp{"fpigate-bench"};
    std::string dir = tmp.path.string();
    logs::log_stores stores;
    full_logs() {
        logs::rf_fpi_db_init(stores, dir);
        logs::system_event_db_init(stores, dir);
        logs::comm_event_db_init(stores, dir);
        for (logs::ring_log* log : {&stores.rf_fpi_db, &stores.system_event_db, &stores.comm_event_db})
            log->sync_writes = false;  // filling, not measured
        const uint8_t frame[] = {0x01, 0x1C, 0x65, 0x03, 0x00, 0x78, 0x00, 0x64, 0x00, 0x8C,
                                 0x00, 0x01, 0xE7, 0x00, 0x24, 0xC8, 0x0A, 0x0C, 0x1E, 0x04};
        logs::rf_data_entry e;
        e.error_msg = "OK";
        e.slave_id = 3;
        e.cmd_type = 0x65;
        e.measured.i_mean = 120;
        e.measured.v_inst = float(231) * 0.1f;
        e.measured.batt_v = float(36) * 0.1f;
        e.measured.rssi = 200;
        for (int i = 0; i < 10001; ++i) logs::rf_fpi_db_append(stores, frame, 1700000000 + i, 1700003600 + i, e);
        for (uint32_t i = 0; i < 10001; ++i) {
            logs::system_event_db_append(stores, 1700000000 + i, i % 22);
            logs::comm_event_db_append(stores, 1700000000 + i, "Connection opened with 10.0.0.2:40000", -71, 1);
        }
        logs::log_flush(stores);  // written before the first export is timed
    }
};

full_logs& logs_once() {
    static full_logs l;
    return l;
}

void BM_rf_fpi_export(benchmark::State& state) {
    full_logs& l = logs_once();
    std::string path = l.dir + "/rf_fpi_data.csv";
    // The summary line of each export goes to /dev/null, not into the report.
    test_support::stream_tap quiet(stdout, "/dev/null");
    for (auto _ : state)
        if (logs::rf_fpi_db_export_csv(l.stores, path) != 10000) state.SkipWithError("wrong row count");
}
BENCHMARK(BM_rf_fpi_export)->Unit(benchmark::kMillisecond);

void BM_system_event_export(benchmark::State& state) {
    full_logs& l = logs_once();
    std::string path = l.dir + "/system_event_data.csv";
    for (auto _ : state)
        if (logs::system_event_db_export_csv(l.stores, path) != 10000) state.SkipWithError("wrong row count");
}
BENCHMARK(BM_system_event_export)->Unit(benchmark::kMillisecond);

void BM_comm_event_export(benchmark::State& state) {
    full_logs& l = logs_once();
    std::string path = l.dir + "/communication_event_data.csv";
    for (auto _ : state)
        if (logs::comm_event_db_export_csv(l.stores, path) != 10000) state.SkipWithError("wrong row count");
}
BENCHMARK(BM_comm_event_export)->Unit(benchmark::kMillisecond);

}  // namespace
