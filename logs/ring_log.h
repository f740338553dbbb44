// The ring-buffer log store shared by the three logs: an index file holding a
// check-summed 40-byte header and a ring of 10000 data-file offsets, and a
// data file of variable-length records that is itself a ring: at its bound
// the next record goes to offset 0. The logs differ only by the data in their
// log_kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace logs {

constexpr uint32_t log_max_entries = 10000;
constexpr size_t log_header_size = 40;
constexpr size_t log_index_size = log_header_size + 8 * size_t(log_max_entries);  // 80040

// The index file header, field by field (offsets 0, 4, 6, 8, ... 36).
struct log_index_header {
    uint32_t magic = 0;
    uint16_t version = 0;
    uint16_t reserved6 = 0;
    uint32_t max_entries = 0;
    uint32_t count = 0;  // live entries
    uint32_t head = 0;   // slot the next record takes
    uint32_t tail = 0;   // slot of the oldest live entry
    uint64_t next_data_offset = 0;
    uint32_t check = 0;
    uint32_t reserved36 = 0;
};

void encode_header(const log_index_header& h, uint8_t out[log_header_size]);
log_index_header decode_header(const uint8_t in[log_header_size]);

// XOR of magic, max_entries, count, head, tail, both words of
// next_data_offset and the version, then XOR the log's check constant.
uint32_t header_check(const log_index_header& h, uint32_t check_constant);

// What makes one log different from another: file names, magic, check
// constant and its messages (perror style for the first three).
struct log_kind {
    const char* index_file;
    const char* data_file;
    uint32_t magic;  // the four magic bytes read as a little-endian word
    uint32_t check_constant;
    const char* create_index;       // perror: index file cannot be created
    const char* write_header;       // perror: header write at creation
    const char* init_offsets;       // perror: slot write at creation
    const char* append_failed;      // printf, %s = system error text
    const char* slot_write_failed;  // printf, %u = slot
    const char* header_write_failed;
    uint32_t default_limit_kb;  // the data file's bound unless configured
};

// The smallest bound a data file may be given.
constexpr uint32_t log_min_limit_kb = 64;

extern const log_kind rf_fpi_kind;
extern const log_kind system_event_kind;
extern const log_kind comm_event_kind;

// One open log: its kind, its two paths, the in-memory header, which holds
// the authoritative counters while the process runs, and a copy of the slot
// table. Only the log writer changes them (ring_log_commit); it takes the
// log's lock in log_stores for each change, and readers (the export) take it
// to copy them. No file stays open.
struct ring_log {
    const log_kind* kind = nullptr;
    std::string index_path{};
    std::string data_path{};
    log_index_header header{};
    std::vector<uint64_t> slots{};  // the index's slot table, as written
    uint64_t limit = 0;             // the data file's bound in bytes, 0 = the kind's default
    uint64_t dropped = 0;           // entries ever dropped from the tail since opening
    bool is_open = false;
    // Sync the data before the index refers to it, and the index before the
    // header commits. Only bulk tests that are about the ring itself, not
    // about power cuts, turn this off.
    bool sync_writes = true;
};

// Opens the log in dir: creates the data file when missing, loads the index
// header and slots when the header is valid and recreates the index empty
// otherwise. limit_kb is the data file's bound (0: the kind's default; below
// 64 raised to 64).
void ring_log_open(ring_log& log, const log_kind& kind, const std::string& dir, uint32_t limit_kb = 0);

// Writes encoded records to the data file and enters them in the ring, as one
// group: the entries they displace (the ring's oldest, or those whose bytes
// they overwrite) are dropped by a synced header first, then the records are
// written and synced, then their slots, and the header commits them. Returns
// how many were committed, a prefix of `records`; each one that was not is
// reported with the log's message. Index write failures are printed but the
// records count. `lock` guards the log's fields against readers; it is taken
// only for moments, never across a write or sync. Callers keep a group below
// a quarter of the bound (ring_log_group_limit).
size_t ring_log_commit(ring_log& log, std::span<const std::vector<uint8_t>> records, std::mutex& lock);

// The most record bytes one ring_log_commit may carry.
uint64_t ring_log_group_limit(const ring_log& log);

// One record; the tools' and tests' way in. True when committed.
bool ring_log_append(ring_log& log, std::span<const uint8_t> record);

}  // namespace logs
