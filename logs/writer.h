// The one thread that writes the logs and the small state files to flash.
// Everyone else only queues: the RF reader, a master's connection thread, the
// DI scan and the ubus thread never wait for a write or a sync. The writer
// takes what is queued in groups and commits each log's part of a group with
// one sync sequence (ring_log_commit), then replaces any state file queued
// meanwhile.
//
// The queue is bounded in bytes. When the flash falls that far behind, the
// oldest queued log entries are dropped, counted, and reported with one line
// once the queue has drained. State file images are never dropped: a newer
// image of the same file replaces a queued one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace logs {

struct log_stores;

// Which of the stores' logs an entry goes to.
enum class log_id : uint8_t { rf_fpi, system_event, comm_event };
constexpr size_t log_id_count = 3;

struct queued_entry {
    log_id log;
    std::vector<uint8_t> record;  // encoded, ready for ring_log_commit
};

struct queued_file {
    std::string path;
    std::vector<uint8_t> bytes;
};

// What a queued entry costs in memory besides its record: its place in the
// queue and the record's allocation. The queue's bound counts both.
constexpr size_t log_entry_overhead = sizeof(queued_entry) + 16;

// Everything under m. Entries carry sequence numbers implicitly: the front of
// `queue` is entry number `taken`, and entries before `committed` are written
// (or failed, or dropped).
struct log_writer {
    std::mutex m;
    std::condition_variable work;  // to the writer: something queued, or stop
    std::condition_variable done;  // from the writer: `committed` moved on
    std::deque<queued_entry> queue;
    size_t queued_bytes = 0;  // records and what each entry costs besides
    size_t max_queued_bytes = size_t(16) << 20;
    std::vector<queued_file> files;  // one image per path, the newest
    uint64_t queued = 0;     // entries ever queued
    uint64_t taken = 0;      // entries ever taken from the queue (written or dropped)
    uint64_t committed = 0;  // entries ever finished
    uint64_t files_queued = 0, files_written = 0;  // state file images
    uint64_t dropped = 0;    // dropped in this episode, reported when the queue drains
    bool busy = false;       // a group is being written, by the thread or a flush
    bool running = false;    // the thread is in its loop and will write what is queued
    bool stopping = false;
    uint64_t stop_deadline = 0;  // monotonic ms; what is left then is not written
    std::thread thread;
};

// Starts the writer thread. Entries queued before it are kept.
void log_writer_start(log_stores& stores);

// Writes what is queued, for at most 2 s (monotonic clock), then ends the
// thread. What is left is counted in one line ("Event logs: N entries not
// written at exit"). State files are written first. Without a thread, writes
// on the caller's. Idempotent.
void log_writer_stop(log_stores& stores);

// Queues one encoded record for a log. Never blocks on the flash.
void log_queue(log_stores& stores, log_id log, std::vector<uint8_t> record);

// Queues a state file's image: the writer replaces the file whole (temporary
// file, sync, rename, sync of the folder), so that after a power cut it holds
// the old image or the new one.
void log_queue_file(log_stores& stores, std::string path, std::vector<uint8_t> bytes);

// Returns once everything queued before the call is written (or failed or
// dropped). With a writer thread it waits for it; without one, the caller
// writes. What the export calls before it reads a log.
void log_flush(log_stores& stores);

// The whole-file replacement the writer does for a queued file, for callers
// that must write before any thread runs (a database created at start-up).
bool replace_file(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace logs
