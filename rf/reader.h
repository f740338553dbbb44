// The receiving side of the radio link: the reading loop that finds frames in
// the serial byte stream, checks their address, records refused frames and
// hands accepted ones to the uplink handlers by command code.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "rf/frame.h"
#include "rf/parser.h"
#include "rf/records.h"

namespace rf {

struct radio;

// What the reader needs of the configuration (the radio's `reader`).
struct reader_settings {
    rf_address self;
    int32_t asdu_time_offset = 0;  // minutes
};

// What the reader has seen since start, for field diagnostics and tests (the
// radio's `reader_stats`).
struct reader_statistics {
    std::atomic<uint64_t> bytes{0};           // read from the port and gone through the synchroniser
    std::atomic<uint64_t> frames{0};          // complete frames out of the synchroniser
    std::atomic<uint64_t> framing_errors{0};  // partial frames dropped
    std::atomic<uint64_t> refused{0};         // undecodable or not addressed to us
    // Every complete frame ends in one of these.
    std::atomic<uint64_t> frames_ok{0};        // handled and recorded "OK"
    std::atomic<uint64_t> parse_errors{0};     // "Failed to parse incoming frame": the frame or its payload
    std::atomic<uint64_t> refused_group{0};    // "Group ID is not matching" (the RTU id was ours or 21)
    std::atomic<uint64_t> refused_rtu{0};      // "RTU ID is not matching" (whatever the group ID)
    std::atomic<uint64_t> unknown_command{0};  // "Unknown Command Type"
};

// Frame time of the RF logs: wall-clock seconds shifted by r.reader.asdu_time_offset.
int64_t rf_frame_time(const radio& r);

// The handlers of accepted frames, each with the sink's context, the frame
// and its bytes.
using uplink_handler = void (*)(void* context, const rf_frame& frame, std::span<const uint8_t> bytes);
// Records a frame in the recent RF data list and the RF log: `bytes` as
// received, its frame time, the frame (null when it did not decode: slave id
// and command 0), the text ("OK" or why it was refused), and for a handled
// telegram its fault, reset and measurements (wake-up or event record).
using frame_recorder = void (*)(void* context, std::span<const uint8_t> bytes, int64_t frame_time, const rf_frame* frame,
                                const char* text, uint8_t fault, uint16_t reset, const wakeup_data* wakeup,
                                const event_data* event);
// Where the reading loop hands what it read: accepted frames by command,
// and every refused or unprocessable frame to `record`.
struct uplink_handlers {
    void* context = nullptr;     // handed to each call
    uplink_handler wakeup;       // CMD_WAKEUP_NOTSET, CMD_JOIN_DATA, CMD_WAKEUP_SET
    uplink_handler event;        // CMD_EVENT_DATA, CMD_FLASH_MODE
    uplink_handler fi_reset;     // CMD_FI_RESET
    uplink_handler infoset_ack;  // CMD_INFO_SET_ACK
    frame_recorder record;
};

// Hands the frame to its handler; an unknown code is recorded as
// "Unknown Command Type 0x%02X".
void rf_dispatch(radio& r, const uplink_handlers& h, const rf_frame& frame, const uint8_t* bytes, size_t length);

// Reads frames from `fd` until `running` is cleared (then uart_wake_reader
// ends its wait at once); every complete frame of a read is processed in order.
void rf_reading_loop(radio& r, int fd, const uplink_handlers& h, const std::atomic<bool>& running);

// What the loop does with one read of `count` bytes (the FI reset repair may
// change them in place): every complete frame is decoded, checked and
// dispatched in order, every framing error recorded.
void rf_process_read(radio& r, rf_parser& parser, const uplink_handlers& h, uint8_t* buf, size_t count);

}  // namespace rf
