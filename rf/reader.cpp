#include "rf/reader.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "rf/radio.h"
#include "rf/uart.h"

namespace rf {

namespace {

constexpr size_t receive_buffer_size = 512;
// The wait for the radio between reads. Bytes, bytes handed back by a
// channel command and a stop all end it at once; the time-out only bounds
// how late a stop by the flag alone (without uart_wake_reader) is seen.
constexpr int idle_wait_ms = 1000;
constexpr auto error_backoff = std::chrono::milliseconds(10);

// A refused or unprocessable frame, to the sink's recorder.
void record_error(const radio& r, const uplink_handlers& h, const uint8_t* bytes, size_t count,
                  const rf_frame* frame, const char* reason) {
    if (h.record) h.record(h.context, {bytes, count}, rf_frame_time(r), frame, reason, 0, 0, nullptr, nullptr);
}

void print_read(const uint8_t* bytes, size_t count) {
    std::printf("Frame: ");
    for (size_t i = 0; i < count; ++i) std::printf("%02X ", bytes[i]);
    std::printf("\n");
}

// One complete frame out of the synchroniser; `read`/`count` is the whole read.
void handle_frame(radio& r, const uplink_handlers& h, const uint8_t* frame_bytes, size_t length,
                  const uint8_t* read, size_t count) {
    reader_statistics& stats = r.reader_stats;
    ++stats.frames;
    rf_frame frame;
    if (rf_frame_decode(frame_bytes, length, &frame) != 0) {
        ++stats.refused;
        stats.parse_errors.fetch_add(1, std::memory_order_relaxed);
        record_error(r, h, read, count, &frame, "Failed to parse incoming frame");
        std::printf("Failed to parse incoming frame.\n");
        return;
    }
    std::printf("rtu: Parsed command: 0x%02X\n", frame.command);
    print_read(read, count);
    if (!rf_frame_accepted(frame, r.reader.self)) {
        ++stats.refused;
        std::printf("Group ID or RTU id is not matching....\n");
        const bool ours = rf_destination_accepted(frame, r.reader.self);
        (ours ? stats.refused_group : stats.refused_rtu).fetch_add(1, std::memory_order_relaxed);
        record_error(r, h, read, count, &frame, ours ? "Group ID is not matching" : "RTU ID is not matching");
        return;
    }
    rf_frame_print(frame);
    rf_dispatch(r, h, frame, frame_bytes, length);
}

}  // namespace

int64_t rf_frame_time(const radio& r) {
    return core::wall_clock.now_ms() / 1000 + 60 * int64_t(r.reader.asdu_time_offset);
}

void rf_dispatch(radio& r, const uplink_handlers& h, const rf_frame& frame, const uint8_t* bytes, size_t length) {
    uplink_handler handler = nullptr;
    switch (frame.command) {
    case CMD_WAKEUP_NOTSET:
    case CMD_JOIN_DATA:
    case CMD_WAKEUP_SET: handler = h.wakeup; break;
    case CMD_EVENT_DATA:
    case CMD_FLASH_MODE: handler = h.event; break;
    case CMD_FI_RESET: handler = h.fi_reset; break;
    case CMD_INFO_SET_ACK: handler = h.infoset_ack; break;
    default: {
        char text[128];
        r.reader_stats.unknown_command.fetch_add(1, std::memory_order_relaxed);
        std::snprintf(text, sizeof text, "Unknown Command Type 0x%02X", frame.command);
        record_error(r, h, bytes, length, &frame, text);
        return;
    }
    }
    if (handler) handler(h.context, frame, {bytes, length});
}

void rf_reading_loop(radio& r, int fd, const uplink_handlers& h, const std::atomic<bool>& running) {
    rf_parser parser;
    rf_parser_reset(parser);
    uint8_t buf[receive_buffer_size];
    while (running) {
        std::memset(buf, 0, sizeof buf);
        const auto started = std::chrono::steady_clock::now();
        uart_wait_readable(r, fd, idle_wait_ms);
        if (!running) break;
        const int n = uart_read(r, fd, buf, sizeof buf, 0);
        if (n <= 0) {
            // A failing or hung-up port answers at once: never spin on it.
            if (n < 0 || std::chrono::steady_clock::now() - started < error_backoff)
                std::this_thread::sleep_for(error_backoff);
            continue;
        }
        rf_process_read(r, parser, h, buf, size_t(n));
    }
}

void rf_process_read(radio& r, rf_parser& parser, const uplink_handlers& h, uint8_t* buf, size_t count) {
    size_t at = 0;
    bool repaired = false;
    while (at < count) {
        size_t used = 0;
        const int rc = rf_parser_feed(parser, buf + at, count - at, &used);
        at += used;
        if (rc == 0) break;  // the partial frame waits for the next read
        if (rc > 0) {
            handle_frame(r, h, parser.buffer.data(), size_t(rc), buf, count);
            continue;
        }
        if (!repaired && fi_reset_length_repair(buf, count)) {
            repaired = true;
            std::printf("Retrying frame sync after FI reset frame repair...\n");
            rf_parser_reset(parser);
            at = 0;
            continue;
        }
        ++r.reader_stats.framing_errors;
        record_error(r, h, buf, count, nullptr, "Frame error (bad frame/timeout). Restarting sync.");
        std::printf("Frame error (bad frame/timeout). Restarting sync.\n");
    }
    r.reader_stats.bytes += count;
}

}  // namespace rf
