// The serial port of the RF RTU: raw 8N1 at one of five speeds, a locked
// write and a locked read with a time-out. The radio's uart_lock guards each
// write and each read; a read waits for bytes without it, so that a writer (or
// a command that holds the port across its write and the radio's answer) gets
// the port within a moment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/unique_fd.h"

namespace rf {

struct radio;

// Opens the port (O_RDWR | O_NOCTTY) at 9600, 19200, 38400, 57600 or 115200
// bits/s, raw 8N1 without flow control, VMIN = VTIME = 0. Returns the open
// port, or an empty one after printing the failure to standard error.
core::unique_fd uart_open(const char* path, int baud);

// One write call under uart_lock: the count written (a short write is not
// completed), or -1 with "uart_write: write error" on standard error.
int uart_write(radio& r, int fd, const uint8_t* bytes, size_t length);

// Waits up to timeout_ms for the port to become readable, then reads at most
// `capacity` bytes once under uart_lock: the count (0 on time-out, or when
// another holder of the lock took the bytes meanwhile), or -1 with
// "uart_read: select error" / "uart_read: read error" on standard error.
int uart_read(radio& r, int fd, uint8_t* buffer, size_t capacity, int timeout_ms);

// The RF reader's wait between reads: returns when the port is readable (or
// failed), bytes were handed back by uart_exchange, uart_wake_reader was
// called, or after timeout_ms. A silent radio costs no wake-ups.
void uart_wait_readable(radio& r, int fd, int timeout_ms);
// Ends a uart_wait_readable now or, if none is waiting, the next one.
void uart_wake_reader(radio& r);

// A command and its answer with the port held throughout: writes `command`,
// then reads until as many bytes as `expected` holds arrived or timeout_ms
// passed. The RF reader waits meanwhile. Whatever else was read (a whole FPI
// frame in front of the answer, as rf_parser_feed finds frames, bytes behind
// it, an answer that is not the expected one) is handed back, in stream
// order, to the reader's next uart_read, so none is lost. Returns the bytes
// written (or -1) in `written` and the count read into `answer` (or -1 on a
// read error).
int uart_exchange(radio& r, int fd, const uint8_t* command, size_t length, int& written,
                  std::span<const uint8_t> expected, uint8_t* answer, int timeout_ms);

}  // namespace rf
