// The gateway's twelve GPIO lines behind one small interface with two
// back-ends: a libgpiod chip ("gpiochip0") or the simulated chip "sim:DIR",
// one text file DIR/<offset> per line holding 0 or 1. A line that could not
// be opened or requested stays missing: reading it gives -1, setting it fails.
#pragma once

#include <array>
#include <mutex>
#include <string>

struct gpiod_chip;
struct gpiod_line;

namespace dio {

constexpr const char* gpio_consumer = "iec60870_slave_gpio";

// Lines in the order they are taken from the chip.
enum line : int { DI1, DI2, DI3, DI4, DI5, DI6, DO1, DO2, DO3, DO4, DO5, DCU_POWER, line_count };

struct line_spec {
    unsigned offset;
    bool output;
    int initial;  // outputs only
};
constexpr std::array<line_spec, line_count> line_table = {{
    {10, false, 0}, {14, false, 0}, {16, false, 0}, {22, false, 0}, {21, false, 0}, {17, false, 0},
    {25, true, 0},  {15, true, 0},  {38, true, 0},  {20, true, 0},  {79, true, 0},  {76, true, 1},
}};

// The opened chip and its lines; closed when it goes.
struct gpio_chip {
    std::mutex lock;  // open and close against the users of the lines
    bool sim = false;
    std::string sim_dir;
    gpiod_chip* chip = nullptr;
    std::array<gpiod_line*, line_count> lines{};
    std::array<bool, line_count> present{};
    std::array<int, line_count> sim_last{};  // the last value read from each file
    std::array<int, line_count> get_errno{};  // why gpiod_chip_get_line failed

    gpio_chip() = default;
    gpio_chip(const gpio_chip&) = delete;
    gpio_chip& operator=(const gpio_chip&) = delete;
    ~gpio_chip();
};

struct dio_state;

// Opens `chip` and requests every line: the outputs (25, 15, 38, 20, 79 at 0,
// then the DCU line 76 at 1), then the inputs. Failures are printed on
// standard error with the chip or line and the system error. True when every
// line is there. Called once, by the DI scanning thread, before any other use.
bool gpio_init(dio_state& io, const std::string& chip);
// Releases the lines (a gateway stopped in this process).
void gpio_close(dio_state& io);

bool gpio_present(dio_state& io, line l);
// True when every line was requested (false before gpio_init).
bool gpio_all_present(dio_state& io);
// 0 or 1; -1 on a read error or a missing line.
int gpio_get(dio_state& io, line l);
// Drives an output (any non-zero value is 1). False when the line is missing
// or the write failed.
bool gpio_set(dio_state& io, line l, int value);

}  // namespace dio
