// IEC 60870-5-104 stack: encoding cost of a full sequence ASDU, and how fast
// a server answers a station interrogation of 1000 points to one master over
// loopback.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "lib/iec104/server.h"
#include "tests/support/master.h"

using namespace iec104;

namespace {

const AppLayerParameters kApp;

void BM_Encode127ObjectSequence(benchmark::State& state) {
    uint8_t out[kMaxAsduSize];
    for (auto _ : state) {
        Asdu a = make_asdu(kApp, M_SP_NA_1, true, COT_INTERROGATED_BY_STATION, 1);
        for (uint32_t i = 0; i < 127; ++i) add_object(a, kApp, {.ioa = 1000 + i, .value = int(i & 1)});
        benchmark::DoNotOptimize(encode_asdu(a, kApp, out));
    }
    state.SetItemsProcessed(state.iterations() * 127);
}
BENCHMARK(BM_Encode127ObjectSequence);

void BM_Decode127ObjectSequence(benchmark::State& state) {
    Asdu a = make_asdu(kApp, M_SP_NA_1, true, COT_INTERROGATED_BY_STATION, 1);
    for (uint32_t i = 0; i < 127; ++i) add_object(a, kApp, {.ioa = 1000 + i, .value = int(i & 1)});
    uint8_t bytes[kMaxAsduSize];
    const size_t n = encode_asdu(a, kApp, bytes);
    for (auto _ : state) {
        Asdu d;
        decode_asdu({bytes, n}, kApp, d);
        int sum = 0;
        for (int i = 0; i < d.count; ++i) sum += get_object(d, kApp, i)->value;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * 127);
}
BENCHMARK(BM_Decode127ObjectSequence);

// The interrogation answer of a 1000-point store: with range(0) == 0 grouped
// as the reporting groups consecutive IOAs (500 single points in sequences of
// 127, 500 short floats in sequences of 48); with 1, one ASDU per point.
void answer_interrogation(Connection& c, Asdu& request, bool one_per_point) {
    const AppLayerParameters& p = app_parameters(c);
    send_act_con(c, request, false);
    auto pass = [&](uint8_t type, int per_asdu, uint32_t first) {
        for (int done = 0; done < 500;) {
            Asdu a = make_asdu(p, type, !one_per_point, COT_INTERROGATED_BY_STATION, 1);
            const int n = one_per_point ? 1 : std::min(per_asdu, 500 - done);
            for (int i = 0; i < n; ++i, ++done)
                add_object(a, p, {.ioa = first + uint32_t(done), .value = done & 1, .real = float(done)});
            send_asdu(c, a);
        }
    };
    pass(M_SP_NA_1, 127, 1000);
    pass(M_ME_NC_1, 48, 2000);
    send_act_term(c, request);
}

void BM_Interrogation1000PointsLoopback(benchmark::State& state) {
    const bool one_per_point = state.range(0) == 1;
    ServerConfig config;
    config.local_address = "127.0.0.1";
    config.port = 0;
    ServerHandlers h;
    h.interrogation = [one_per_point](const ConnectionPtr& c, Asdu& request, uint8_t) {
        answer_interrogation(*c, request, one_per_point);
        return true;
    };
    ServerPtr server = server_create(config, h);
    if (!server_start(*server)) {
        state.SkipWithError("server did not start");
        return;
    }

    std::mutex mutex;
    std::condition_variable done;
    int terminations = 0;
    long objects = 0;
    ClientHandlers ch;
    ch.asdu = [&](const Asdu& a) {
        std::lock_guard lock(mutex);
        if (a.cot == COT_INTERROGATED_BY_STATION) objects += a.count;
        if (a.type == C_IC_NA_1 && a.cot == COT_ACTIVATION_TERMINATION) {
            ++terminations;
            done.notify_all();
        }
    };
    ClientPtr client;
    std::string error;
    if (!test_support::connect_master(client, server_port(*server), ch, error)) {
        state.SkipWithError("client did not start");
        return;
    }
    const Asdu gi = interrogation_command(kApp, 1);
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        const int before = terminations;
        lock.unlock();
        client_send(*client, gi);
        lock.lock();
        if (!done.wait_for(lock, std::chrono::seconds(10), [&] { return terminations > before; })) {
            state.SkipWithError("no ACT_TERM");
            break;
        }
    }
    state.counters["objects_per_gi"] = benchmark::Counter(double(objects) / double(state.iterations()));
    state.SetItemsProcessed(objects);
}
BENCHMARK(BM_Interrogation1000PointsLoopback)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Spontaneous single-object ASDUs from the application to one master.
void BM_SpontaneousThroughputLoopback(benchmark::State& state) {
    ServerConfig config;
    config.local_address = "127.0.0.1";
    config.port = 0;
    std::mutex mutex;
    std::condition_variable cv;
    ConnectionPtr connection;
    ServerHandlers h;
    h.connection_event = [&](const ConnectionPtr& c, ConnectionEvent e) {
        if (e != ConnectionEvent::activated) return;
        std::lock_guard lock(mutex);
        connection = c;
        cv.notify_all();
    };
    ServerPtr server = server_create(config, h);
    server_start(*server);
    long received = 0;
    std::condition_variable arrived;
    ClientHandlers ch;
    ch.asdu = [&](const Asdu&) {
        std::lock_guard lock(mutex);
        ++received;
        arrived.notify_all();
    };
    ClientPtr client;
    std::string error;
    if (!test_support::connect_master(client, server_port(*server), ch, error)) {
        state.SkipWithError("client did not start");
        return;
    }
    {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return connection != nullptr; });
    }
    Asdu a = make_asdu(kApp, M_SP_TB_1, false, COT_SPONTANEOUS, 1);
    add_object(a, kApp, {.ioa = 100, .value = 1, .time = cp56_from_ms(1711850398765)});
    const long batch = 1000;
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        const long target = received + batch;
        lock.unlock();
        for (long i = 0; i < batch; ++i) send_asdu(*connection, a);
        lock.lock();
        if (!arrived.wait_for(lock, std::chrono::seconds(10), [&] { return received >= target; })) {
            state.SkipWithError("events lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SpontaneousThroughputLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
