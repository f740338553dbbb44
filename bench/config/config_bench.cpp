// Start-up cost of the configuration: parsing the sample package (about 380
// sections) and mapping it into config::config.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "config/config_load.h"

namespace {

std::string sample_text() {
    std::ifstream in(std::string(FPIGATE_SOURCE_DIR) + "/config/fpigate");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void parse_sample(benchmark::State& state) {
    std::string text = sample_text();
    for (auto _ : state) {
        uci::error err;
        auto pkg = uci::parse(text, "fpigate", "fpigate", err);
        benchmark::DoNotOptimize(pkg);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(parse_sample);

void map_sample(benchmark::State& state) {
    std::string text = sample_text();
    uci::error err;
    auto pkg = uci::parse(text, "fpigate", "fpigate", err);
    FILE* null_out = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        config::config cfg;
        std::string problem;
        benchmark::DoNotOptimize(config::config_from_package(*pkg, cfg, null_out, problem));
    }
    std::fclose(null_out);
}
BENCHMARK(map_sample);

}  // namespace
