// ubus frames: an 8-byte header (version 0, type, seq be16, peer be32)
// followed by one message blob whose payload is a list of plain attributes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "lib/ubus/blobmsg.h"

namespace ubus {

enum class msg : std::uint8_t {
    hello = 0,
    status = 1,
    data = 2,
    ping = 3,
    lookup = 4,
    invoke = 5,
    add_object = 6,
    remove_object = 7,
    subscribe = 8,
    unsubscribe = 9,
    notify = 10,
    monitor = 11,
};

// Attribute ids inside the message blob.
namespace attr_id {
inline constexpr unsigned status = 1;
inline constexpr unsigned objpath = 2;
inline constexpr unsigned objid = 3;
inline constexpr unsigned method = 4;
inline constexpr unsigned objtype = 5;
inline constexpr unsigned signature = 6;
inline constexpr unsigned data = 7;
inline constexpr unsigned target = 8;
inline constexpr unsigned active = 9;
inline constexpr unsigned no_reply = 10;
inline constexpr unsigned subscribers = 11;
inline constexpr unsigned user = 12;
inline constexpr unsigned group = 13;
inline constexpr unsigned count = 14;
}  // namespace attr_id

inline constexpr std::size_t header_size = 8;
inline constexpr std::size_t max_msglen = 1024 * 1024;

// A received frame, its attributes indexed by id (the last one of an id wins;
// ids beyond 13 are ignored).
struct frame {
    frame() = default;
    frame(frame&&) = default;  // the views stay valid: `raw` keeps its buffer
    frame& operator=(frame&&) = default;
    frame(const frame&) = delete;

    std::uint8_t version = 0;
    msg type = msg::hello;
    std::uint16_t seq = 0;
    std::uint32_t peer = 0;
    bytes raw;  // the whole frame as received
    std::array<std::optional<byte_view>, attr_id::count> attrs;

    // Typed access; an attribute of the wrong size reads as absent.
    std::optional<std::uint32_t> u32(unsigned id) const;
    std::optional<std::uint8_t> u8(unsigned id) const;
    std::optional<std::string> str(unsigned id) const;
    std::optional<byte_view> blob(unsigned id) const { return attrs[id]; }
};

// Parses one complete frame (exactly header + message blob). False when the
// lengths do not agree. The frame keeps its own copy of the bytes.
bool parse_frame(bytes raw, frame& out);

// Builds the attribute list of one message, then the frame around it.
struct builder {
    bytes body;
    builder& u32(unsigned id, std::uint32_t v);
    builder& u8(unsigned id, std::uint8_t v);
    builder& str(unsigned id, std::string_view s);
    builder& blob(unsigned id, byte_view payload);
    bytes finish(msg type, std::uint16_t seq, std::uint32_t peer) const;
};

// Reassembles frames from a byte stream. Returns `frame_ready` with the frame
// in `out`, `need_more` when more bytes are needed, `bad` when the stream
// announces a blob length below 4 or above the limit (the peer must then be
// dropped: the stream cannot be resynchronised).
struct frame_reader {
    bytes buf;
    std::size_t start = 0;
    enum result { need_more, frame_ready, bad };
    void feed(const std::uint8_t* p, std::size_t n);
    result next(bytes& out);
};

}  // namespace ubus
