// rf.service through ubusd-lite: a client calls get_rf_data with a full list
// of 50 entries, and export_fpi_data_csv_file with a full RF log of 10000
// records; each call is timed from the request to the reply.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "core/locks.h"
#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "services/rf_service.h"

extern char** environ;

namespace {

const uint8_t frame[] = {0x01, 0x18, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83, 0x8A, 0x65, 0x94, 0x81, 0x97, 0x81,
                         0x80, 0x82, 0xB2, 0x81, 0x97, 0x85, 0xA4, 0xD0, 0x89, 0x87, 0x85, 0x82, 0x04};

void add_entry() {
    rf::event_data e;
    e.i_status = 20;
    e.i_mean = 123;
    e.v_inst = 2305;
    e.battery_v = 36;
    e.rssi = 80;
    logs::rf_data_add(logs::recent_rf_data, frame, 1717590896, 3, 0x65, 0, 0, "OK", nullptr, &e);
}

// ubusd-lite, rf.service on its own connection, and a client.
struct service {
    std::string dir;
    std::string sock;
    pid_t broker = -1;
    config::config cfg;
    rf::radio radio;
    std::unique_ptr<ubus::connection> server, client;
    std::thread loop;
    uint32_t id = 0;

    service() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "fpigate-rfs-bench-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        sock = dir + "/ubus.sock";
        const std::string path = std::string(FPIGATE_BIN_DIR) + "/ubusd-lite";
        char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("-s"), sock.data(), nullptr};
        posix_spawn(&broker, argv[0], nullptr, nullptr, argv, environ);
        for (int i = 0; i < 500 && !client; ++i) {
            client = ubus::connect(sock);
            if (!client) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        server = ubus::connect(sock);
        cfg.settings.export_dir = dir;
        if (!client || !server || ubus::add_object(*server, services::rf_service_object(cfg, radio)) != 0) return;
        loop = std::thread([this] { ubus::run(*server); });
        ubus::lookup_id(*client, "rf.service", id);
    }
    ~service() {
        if (server) ubus::stop(*server);
        if (loop.joinable()) loop.join();
        server.reset();
        client.reset();
        if (broker > 0) {
            ::kill(broker, SIGTERM);
            ::waitpid(broker, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    ubus::result call(const char* method) { return ubus::invoke(*client, id, method, {}, 10000); }
};

// The daemon's printout (the JSON of every call) is not what is measured.
struct quiet_stdout {
    int saved = ::dup(STDOUT_FILENO);
    quiet_stdout() {
        std::fflush(stdout);
        FILE* null = std::fopen("/dev/null", "w");
        ::dup2(::fileno(null), STDOUT_FILENO);
        std::fclose(null);
    }
    ~quiet_stdout() {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
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
            std::lock_guard lk(core::rf_data_lock);
            for (int i = 0; i < logs::rf_data_capacity; ++i) add_entry();
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
    logs::rf_fpi_db_init(s.dir);
    logs::rf_fpi_db.sync_writes = false;  // filling, not measured
    {
        std::lock_guard lk(core::rf_data_lock);
        quiet_stdout quiet;
        for (int i = 0; i < 10000; ++i) add_entry();  // each is appended to the RF log as well
        logs::recent_rf_data = {};
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
