#include "sim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "describe.h"
#include "rf/downlink.h"
#include "rf/frame.h"
#include "rf/uart.h"

namespace fpisim {
namespace {

bool write_line(sim& s, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(s.write_lock);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(s.line.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::perror("fpi-sim: write");
            return false;
        }
        done += size_t(n);
    }
    return true;
}

void send_frame(sim& s, uint8_t code, const rf::rf_record& record, const addressing& a) {
    rf::rf_frame f;
    rf::rf_frame_build(&f, a.group, a.slave, a.rtu, code, record);
    uint8_t out[rf::max_frame_size];
    size_t n = 0;
    rf::rf_frame_serialize(&f, out, &n);
    std::vector<uint8_t> bytes(out, out + n);
    if (!write_line(s, bytes)) return;
    const char* name = rf::rf_command_name(code);
    char head[96];
    if (name) std::snprintf(head, sizeof head, "tx %s from=%u to=%u: ", name, a.slave, a.rtu);
    else std::snprintf(head, sizeof head, "tx 0x%02X from=%u to=%u: ", code, a.slave, a.rtu);
    emit(head + hex(bytes));
}

void count(sim& s, int key) {
    {
        std::lock_guard lock(s.seen_lock);
        ++s.received[key];
    }
    s.seen_changed.notify_all();
}

void flush_garbage(sim& s) {
    if (s.garbage.empty()) return;
    emit("rx garbage: " + hex(s.garbage));
    s.garbage.clear();
}

void channel_command(sim& s) {
    s.in_channel = false;
    emit("rx channel: " + hex(s.channel));
    if (s.channel.size() < 3) {
        emit("channel command too short, not answered");
    } else {
        std::vector<uint8_t> answer{0x24, 0x06, s.channel[2], 0x2A};
        if (write_line(s, answer)) emit("tx channel: " + hex(answer));
    }
    count(s, channel_key);
}

void frame_received(sim& s, const uint8_t* bytes, size_t n) {
    rf::rf_frame f;
    if (rf::rf_frame_decode(bytes, n, &f) != 0) {
        emit("rx bad frame: " + hex(bytes, n));
        return;
    }
    emit("rx " + describe_frame(f));
    if (f.command == rf::CMD_INFO_SET && s.auto_ack) {
        rf::event_time_data ack;
        rf::rf_local_time_at(std::time(nullptr), nullptr, &ack.event_time);
        send_frame(s, rf::CMD_INFO_SET_ACK, ack, addressing{f.group, f.source_id, f.destination_id});
    }
    count(s, f.command);
}

void receive_byte(sim& s, uint8_t b) {
    if (s.in_channel) {
        s.channel.push_back(b);
        if (b == 0x2A) {
            channel_command(s);
        } else if (s.channel.size() >= 16) {  // no end in sight: not a channel command
            s.in_channel = false;
            s.garbage.insert(s.garbage.end(), s.channel.begin(), s.channel.end());
        }
        return;
    }
    bool between_frames = s.parser.state == rf::rf_parser_state::WAIT_START;
    if (between_frames && b == 0x24) {
        flush_garbage(s);
        s.in_channel = true;
        s.channel = {b};
        return;
    }
    if (between_frames && b != rf::frame_start) {
        s.garbage.push_back(b);
        return;
    }
    flush_garbage(s);
    size_t partial = s.parser.fill;
    size_t used = 0;
    int rc = rf::rf_parser_feed(s.parser, &b, 1, &used);
    if (rc > 0) {
        frame_received(s, s.parser.buffer.data(), size_t(rc));
    } else if (rc < 0) {
        std::vector<uint8_t> dropped(s.parser.buffer.begin(), s.parser.buffer.begin() + partial);
        if (used) dropped.push_back(b);
        emit("rx bad frame: " + hex(dropped));
        if (!used) receive_byte(s, b);  // the partial frame was stale; this byte starts afresh
    }
}

}  // namespace

void emit(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string open_pty_line(sim& s) {
    s.line = core::unique_fd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char path[128] = {};
    if (!s.line || grantpt(s.line.get()) != 0 || unlockpt(s.line.get()) != 0 ||
        ptsname_r(s.line.get(), path, sizeof path) != 0) {
        std::perror("fpi-sim: pseudo-terminal");
        return "";
    }
    // A radio line carries bytes as they are: no echo, no translation.
    s.pty_slave = core::unique_fd(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    if (!s.pty_slave || tcgetattr(s.pty_slave.get(), &tio) != 0) {
        std::perror("fpi-sim: pseudo-terminal");
        return "";
    }
    cfmakeraw(&tio);
    tcsetattr(s.pty_slave.get(), TCSANOW, &tio);
    return path;
}

bool open_device_line(sim& s, const std::string& path, int baud) {
    s.line = rf::uart_open(path.c_str(), baud);
    return bool(s.line);
}

void receive_loop(sim& s) {
    uint8_t buf[512];
    while (s.running) {
        pollfd pfd{s.line.get(), POLLIN, 0};
        int ready = ::poll(&pfd, 1, 100);
        if (ready <= 0) continue;
        ssize_t n = ::read(s.line.get(), buf, sizeof buf);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) receive_byte(s, buf[i]);
        flush_garbage(s);
    }
}

int play(sim& s, const std::vector<step>& steps, addressing& addr, int& await_failures) {
    for (const step& st : steps) {
        switch (st.kind) {
        case step::frame: {
            rf::rf_record record;
            addressing a;
            std::string error;
            if (!make_record(st.code, st.values, std::time(nullptr), record, error) ||
                !frame_address(st.values, addr, a, error)) {
                emit("line " + std::to_string(st.line) + ": " + error);  // checked when parsed; not expected
                break;
            }
            send_frame(s, st.code, record, a);
            break;
        }
        case step::raw:
            if (write_line(s, st.bytes)) emit("tx raw: " + hex(st.bytes));
            break;
        case step::wait:
            std::this_thread::sleep_for(std::chrono::milliseconds(st.number));
            break;
        case step::await: {
            int key = st.code ? st.code : channel_key;
            std::unique_lock lock(s.seen_lock);
            bool seen = s.seen_changed.wait_for(lock, std::chrono::milliseconds(st.number),
                                                [&] { return s.received[key] > s.awaited[key]; });
            if (seen) {
                ++s.awaited[key];
            } else {
                ++await_failures;
                const char* name = st.code ? rf::rf_command_name(st.code) : "channel";
                char text[96];
                if (name) std::snprintf(text, sizeof text, "await %s timed out", name);
                else std::snprintf(text, sizeof text, "await 0x%02X timed out", st.code);
                lock.unlock();
                emit(text);
            }
            break;
        }
        case step::repeat:
            for (long i = 0; i < st.number; ++i) {
                int rc = play(s, st.body, addr, await_failures);
                if (rc >= 0) return rc;
            }
            break;
        case step::group:
            for (size_t i = 0; i < addr.group.size(); ++i) addr.group[i] = st.bytes[i];
            break;
        case step::rtu:
            addr.rtu = uint8_t(st.number);
            break;
        case step::slave:
            addr.slave = uint8_t(st.number);
            break;
        case step::auto_ack:
            s.auto_ack = st.number != 0;
            break;
        case step::exit:
            return await_failures ? 1 : 0;
        }
    }
    return -1;
}

}  // namespace fpisim
