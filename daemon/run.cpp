#include "daemon/run.h"

#include <cstdio>
#include <memory>
#include <thread>

#include "config/cmdline.h"
#include "config/config_load.h"
#include "daemon/gateway.h"

namespace fpigate {

int run(int argc, char** argv) {
    config::options opts;
    if (int status = config::parse_cmdline(argc, argv, opts, stdout, stderr); status >= 0) return status;

    auto cfg = std::make_unique<config::config>();
    std::string problem;
    if (!config::config_load(opts.config_dir, *cfg, stdout, problem)) {
        std::fflush(stdout);
        std::fprintf(stderr, "fpigate: no usable configuration: %s\n", problem.c_str());
        return 1;
    }

    gateway g;
    gateway_options gopts;
    gateway_start(g, *cfg, gopts);
    sigint_install(&g);
    gateway_serve(g, gopts);

    // Every fault counted so far is saved before the program says it exits
    // (one that comes later still is counted on the RF reader's thread).
    fpi::fault_worker_stop(g.fpis);
    std::printf("exiting program");
    gateway_stop(g);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return 0;
}

}  // namespace fpigate
