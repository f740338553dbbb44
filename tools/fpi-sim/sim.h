// The running simulator: the serial line, the receiver that prints and
// answers what the gateway sends, and the script player.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "rf/parser.h"
#include "script.h"

namespace fpisim {

struct sim {
    core::unique_fd line;       // the side fpi-sim reads and writes
    core::unique_fd pty_slave;  // held open so the line never hangs up while the gateway reopens
    std::mutex write_lock;    // script and receiver both write
    std::atomic<bool> auto_ack{true};
    std::atomic<bool> running{true};

    // Receiver state (receiver thread only).
    rf::rf_parser parser;
    std::vector<uint8_t> channel;  // a radio channel command being collected
    bool in_channel = false;
    std::vector<uint8_t> garbage;  // bytes outside frames, printed once per read

    // Frames received per command code (channel commands under key -1), and
    // how many of them an await has taken.
    std::mutex seen_lock;
    std::condition_variable seen_changed;
    std::map<int, long> received, awaited;
};

constexpr int channel_key = -1;

// Prints one line on standard output.
void emit(const std::string& text);

// Opens a new pseudo-terminal and returns the path the gateway opens, or "".
std::string open_pty_line(sim& s);
// Opens a serial device, raw 8N1 at `baud`.
bool open_device_line(sim& s, const std::string& path, int baud);

// Receiver thread: reads until s.running is cleared.
void receive_loop(sim& s);

// Plays the steps. Returns -1 when the script ran to its end, else the exit
// status an `exit` line asks for. `await_failures` counts awaits that timed out.
int play(sim& s, const std::vector<step>& steps, addressing& addr, int& await_failures);

}  // namespace fpisim
