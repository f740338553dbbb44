// rf.service through ubusd-lite: a client calls get_rf_data with a full list
// of 50 entries, and export_fpi_data_csv_file with a full RF log of 10000
// records; each call is timed from the request to the reply.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "services/rf_service.h"
#include "tests/support/capture.h"
#include "tests/support/child_process.h"
#include "tests/support/parts.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

void add_entry(logs::log_stores& stores) {
    rf::event_data e;
    e.i_status = 20;
    e.i_mean = 123;
    e.v_inst = 2305;
    e.battery_v = 36;
    e.rssi = 80;
    logs::rf_data_add(stores, test_support::event_frame, 1717590896, 3, 0x65, 0, 0, "OK", nullptr, &e);
}

// ubusd-lite, rf.service on its own connection, and a client.
struct service : test_support::gateway_parts {
    test_support::temp_dir tmp{"fpigate-rfs-bench"};
    std::string dir = tmp.path.string();
    std::string sock = dir + "/ubus.sock";
    test_support::child_process broker{{test_support::bin("ubusd-lite"), "-s", sock},
                                       {.out = test_support::sink::inherit, .err = test_support::sink::inherit}};
    std::unique_ptr<ubus::connection> server, client;
    std::thread loop;
    uint32_t id = 0;

    service() {
        test_support::wait_until([&] { return bool(client = ubus::connect(sock)); }, std::chrono::seconds(5),
                                 std::chrono::milliseconds(10));
        server = ubus::connect(sock);
        cfg.settings.export_dir = dir;
        services::services_configure(services, cfg, 0);
        if (!client || !server || ubus::add_object(*server, services::rf_service_object(services)) != 0)
            return;
        loop = std::thread([this] { ubus::run(*server); });
        ubus::lookup_id(*client, "rf.service", id);
    }
    ~service() {
        if (server) ubus::stop(*server);
        if (loop.joinable()) loop.join();
        server.reset();
        client.reset();
        broker.stop();
    }
    ubus::result call(const char* method) { return ubus::invoke(*client, id, method, {}, 10000); }
};

// The daemon's printout (the JSON of every call) is not what is measured.
struct quiet_stdout : test_support::stream_tap {
    quiet_stdout() : stream_tap(stdout, "/dev/null") {}
};

void BM_GetRfDataFullList(benchmark::State& state) {
    service s;
    if (s.id == 0) {
        state.SkipWithError("rf.service not registered");
        return;
    }
    quiet_stdout quiet;
    size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            std::lock_guard lk(s.stores.rf_data_lock);
            for (int i = 0; i < logs::rf_data_capacity; ++i) add_entry(s.stores);
        }
        state.ResumeTiming();
        ubus::result r = s.call("get_rf_data");
        if (r.status != 0 || r.data.empty()) {
            state.SkipWithError("get_rf_data failed");
            return;
        }
        bytes = ubus::find(r.data.front(), "json")->s.size();
    }
    state.counters["json_bytes"] = benchmark::Counter(double(bytes));
}
BENCHMARK(BM_GetRfDataFullList)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportFullRfLog(benchmark::State& state) {
    service s;
    if (s.id == 0) {
        state.SkipWithError("rf.service not registered");
        return;
    }
    logs::rf_fpi_db_init(s.stores, s.dir);
    s.stores.rf_fpi_db.sync_writes = false;  // filling, not measured
    {
        std::lock_guard lk(s.stores.rf_data_lock);
        quiet_stdout quiet;
        for (int i = 0; i < 10000; ++i) add_entry(s.stores);  // each is appended to the RF log as well
        s.stores.recent_rf_data = {};
    }
    quiet_stdout quiet;
    for (auto _ : state) {
        ubus::result r = s.call("export_fpi_data_csv_file");
        if (r.status != 0) {
            state.SkipWithError("export failed");
            return;
        }
    }
    state.counters["csv_bytes"] =
        benchmark::Counter(double(std::filesystem::file_size(s.dir + "/" + logs::rf_fpi_csv_file)));
}
BENCHMARK(BM_ExportFullRfLog)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
