#include "dio/gpio.h"

#include "dio/state.h"

#include <gpiod.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace dio {

namespace {

constexpr std::string_view sim_prefix = "sim:";


std::string sim_path(const gpio_chip& gpio, line l) { return gpio.sim_dir + "/" + std::to_string(line_table[size_t(l)].offset); }

// Written whole or not at all: a reader never sees half a value.
bool sim_write(const gpio_chip& gpio, line l, int value) {
    const std::string path = sim_path(gpio, l);
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return false;
    const bool written = std::fputs(value ? "1\n" : "0\n", f) >= 0;
    if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

int sim_read(gpio_chip& gpio, line l) {
    int& last = gpio.sim_last[size_t(l)];
    FILE* f = std::fopen(sim_path(gpio, l).c_str(), "r");
    if (!f) return errno == ENOENT ? (last = 0) : -1;  // an input nobody has set reads 0
    int c = std::fgetc(f);
    std::fclose(f);
    // An empty file is one being written by hand ("echo 1 > DIR/22" truncates
    // first): the line keeps its value rather than flickering.
    if (c == EOF) return last;
    return last = (c == '0' ? 0 : 1);
}

bool open_sim(gpio_chip& gpio, const std::string& dir) {
    gpio.sim = true;
    gpio.sim_dir = dir;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "gpio_init: cannot open chip sim:%s: %s\n", dir.c_str(), ec.message().c_str());
        return false;
    }
    bool all = true;
    for (int i = 0; i < line_count; ++i) {
        const line_spec& s = line_table[size_t(i)];
        if (s.output && !sim_write(gpio, line(i), s.initial)) {
            std::fprintf(stderr, "gpio_init: cannot request line %u of sim:%s: %s\n", s.offset, dir.c_str(),
                         std::strerror(errno));
            all = false;
            continue;
        }
        gpio.present[size_t(i)] = true;
    }
    return all;
}

bool open_gpiod(gpio_chip& gpio, const std::string& name) {
    gpio.chip = gpiod_chip_open_by_name(name.c_str());
    if (!gpio.chip) {
        std::fprintf(stderr, "gpio_init: cannot open chip %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    bool all = true;
    auto request = [&](int i) {
        const line_spec& s = line_table[size_t(i)];
        gpiod_line* l = gpio.lines[size_t(i)];
        if (!l) errno = gpio.get_errno[size_t(i)];
        const int rc = !l ? -1
                       : s.output ? gpiod_line_request_output(l, gpio_consumer, s.initial)
                                  : gpiod_line_request_input(l, gpio_consumer);
        if (rc != 0) {
            std::fprintf(stderr, "gpio_init: cannot request line %u of %s: %s\n", s.offset, name.c_str(),
                         std::strerror(errno));
            all = false;
            return;
        }
        gpio.present[size_t(i)] = true;
    };
    for (int i = 0; i < line_count; ++i) {
        gpio.lines[size_t(i)] = gpiod_chip_get_line(gpio.chip, line_table[size_t(i)].offset);
        gpio.get_errno[size_t(i)] = gpio.lines[size_t(i)] ? 0 : errno;
    }
    for (int i = DO1; i <= DCU_POWER; ++i) request(i);
    for (int i = DI1; i <= DI6; ++i) request(i);
    return all;
}

}  // namespace

gpio_chip::~gpio_chip() {
    if (chip) gpiod_chip_close(chip);
}

bool gpio_init(dio_state& io, const std::string& chip) {
    gpio_chip& gpio = io.gpio;
    std::lock_guard lk(gpio.lock);
    gpio.present = {};
    gpio.sim_last = {};
    if (chip.rfind(sim_prefix, 0) == 0) return open_sim(gpio, chip.substr(sim_prefix.size()));
    return open_gpiod(gpio, chip);
}

void gpio_close(dio_state& io) {
    gpio_chip& gpio = io.gpio;
    std::lock_guard lk(gpio.lock);
    if (gpio.chip) gpiod_chip_close(gpio.chip);  // releases its lines
    gpio.chip = nullptr;
    gpio.lines = {};
    gpio.present = {};
    gpio.sim = false;
}

bool gpio_present(dio_state& io, line l) {
    gpio_chip& gpio = io.gpio;
    std::lock_guard lk(gpio.lock);
    return gpio.present[size_t(l)];
}

bool gpio_all_present(dio_state& io) {
    gpio_chip& gpio = io.gpio;
    std::lock_guard lk(gpio.lock);
    return std::all_of(gpio.present.begin(), gpio.present.end(), [](bool p) { return p; });
}

int gpio_get(dio_state& io, line l) {
    gpio_chip& gpio = io.gpio;
    std::lock_guard lk(gpio.lock);
    if (!gpio.present[size_t(l)]) return -1;
    if (gpio.sim) return sim_read(gpio, l);
    const int v = gpiod_line_get_value(gpio.lines[size_t(l)]);
    return v < 0 ? -1 : v != 0;
}

bool gpio_set(dio_state& io, line l, int value) {
    gpio_chip& gpio = io.gpio;
    std::lock_guard lk(gpio.lock);
    if (!gpio.present[size_t(l)] || !line_table[size_t(l)].output) return false;
    if (gpio.sim) return sim_write(gpio, l, value != 0);
    return gpiod_line_set_value(gpio.lines[size_t(l)], value != 0) == 0;
}

}  // namespace dio
