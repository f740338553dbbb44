// The radio link's state: the open port, the lock of the serial line, the
// bytes a channel command's answer wait handed back to the RF reader, the
// reader's wake descriptor, the downlink and reader settings and the reader's
// counters. The gateway owns one; the RF reader thread, the downlink senders
// and the rf.service channel command share it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/unique_fd.h"
#include "rf/downlink.h"
#include "rf/reader.h"

namespace rf {

struct radio {
    // The open port; 0 while none is open. The RF reader sets it.
    std::atomic<int> rtu_fd{0};
    // The serial port, one reader or writer at a time. Lock order:
    // uart_lock before pushback_lock (a command's answer wait hands bytes
    // back while it holds the port); neither is taken under another lock.
    std::mutex uart_lock;

    // Bytes a command's answer wait read that were not its answer: the RF
    // reader's next read gets them first.
    std::mutex pushback_lock;
    std::vector<uint8_t> pushback;

    // eventfd that ends the RF reader's wait between reads: bytes handed
    // back, a stop.
    core::unique_fd reader_wake;

    downlink_env downlink;
    reader_settings reader;
    reader_statistics reader_stats;

    radio();
    radio(const radio&) = delete;
    radio& operator=(const radio&) = delete;
};

}  // namespace rf
