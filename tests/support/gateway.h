// The gateway running in this process on the sample configuration: its radio
// on a pseudo-terminal (when it has one), every file in a temporary folder,
// any free server port, no broker, and the worker threads it is given. The
// owner sets what else it needs between the construction and start().
#pragma once

#include <chrono>
#include <memory>
#include <span>
#include <string>

#include "config/config.h"
#include "daemon/gateway.h"
#include "tests/support/pty.h"
#include "tests/support/sample_config.h"
#include "tests/support/temp_dir.h"

namespace test_support {

struct gateway_setup {
    bool radio = true;          // the radio on a pseudo-terminal; false: none
    int rtu_baud = 0;           // 0: the sample's
    bool simulated_chip = false;  // the GPIO chip simulated in dir/gpio
    std::string dir_prefix = "fpigate-gateway";
};

struct gateway_on_pty {
    temp_dir dir;
    pty radio;  // the radio's side is radio.master
    std::unique_ptr<config::config> cfg = std::make_unique<config::config>();
    fpigate::gateway g;
    std::string problem;  // why it cannot start; empty when it can
    bool started = false;

    // Writes and loads the configuration.
    explicit gateway_on_pty(const gateway_setup& s = {}) : dir(s.dir_prefix) {
        if (dir.path.empty()) {
            problem = "no temporary directory";
            return;
        }
        if (s.radio && !(radio = open_pty()).master) {
            problem = "no pseudo-terminal";
            return;
        }
        sample_options o = files_in(dir.path);
        o.rtu_port = radio.path;
        o.rtu_baud = s.rtu_baud;
        if (s.simulated_chip) o.gpio_chip = "sim:" + (dir.path / "gpio").string();
        const std::filesystem::path config_dir = write_sample_config(dir.path, o);
        if (!load_config(config_dir, *cfg, problem)) problem = "sample configuration: " + problem;
    }
    // Starts the workers, one right after the other.
    void start(std::span<const fpigate::worker> workers) {
        if (!problem.empty()) return;
        fpigate::gateway_options opts;
        opts.thread_spacing = std::chrono::milliseconds(0);
        opts.workers = workers;
        fpigate::gateway_start(g, *cfg, opts);
        started = true;
    }
    void stop() {
        if (started) fpigate::gateway_stop(g);
        started = false;
    }
    ~gateway_on_pty() { stop(); }
    gateway_on_pty(const gateway_on_pty&) = delete;
    gateway_on_pty& operator=(const gateway_on_pty&) = delete;
};

}  // namespace test_support
