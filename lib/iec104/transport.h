// Byte I/O of one APCI connection: the outgoing buffer and the non-blocking
// reads and writes that both the server and the client loops use.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lib/iec104/apci.h"
#include "lib/iec104/socket.h"

namespace iec104 {

int64_t monotonic_now_ms();

// Frames waiting to be written.
struct TxBuffer {
    std::vector<uint8_t> data;
    size_t written = 0;
};
inline bool tx_pending(const TxBuffer& t) { return t.written < t.data.size(); }
// A peer that keeps sending (TESTFR act, I-frames to acknowledge) but stops
// reading would make the replies pile up; past k full I-frames plus this
// much, the connection is given up.
constexpr size_t kMaxTxBacklog = 64 * 1024;
inline bool tx_overrun(const TxBuffer& t, int k) {
    return t.data.size() - t.written > size_t(k) * kMaxApduSize + kMaxTxBacklog;
}
void tx_u(TxBuffer& t, uint8_t control1);
void tx_s(TxBuffer& t, uint16_t nr);
// Appends an I-frame around an encoded ASDU.
void tx_i(TxBuffer& t, uint16_t ns, uint16_t nr, std::span<const uint8_t> asdu);
// Writes what the socket takes now; false on a socket error.
bool tx_flush(const Fd& socket, TxBuffer& t);

enum class ReadStatus { ok, closed, error };
ReadStatus read_some(const Fd& socket, FrameParser& parser);

// Waits for the socket (readable, or writable when `want_write`) or the wake
// event, at most timeout_ms. Sets the two ready flags.
void wait_io(const Fd& socket, bool want_write, const Fd& event, int64_t timeout_ms, bool& socket_ready,
             bool& woken);

}  // namespace iec104
