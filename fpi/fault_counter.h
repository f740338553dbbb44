// The fault counter database: faults reported by the FPIs counted per group
// of three, in total and per day over a window of the last seven days, kept in
// one 156-byte file (fault_counter_db.bin in the data directory) that is
// replaced after every counted fault.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "config/config.h"
#include "logs/stores.h"

namespace outstation {
struct station;
}

namespace fpi {

constexpr size_t fault_db_size = 156;
constexpr uint32_t fault_db_magic = 0x46434442;  // "BDCF"
constexpr uint16_t fault_db_version = 2;
constexpr uint64_t ms_per_day = 86400000;

struct fault_day_slot {
    uint32_t day = 0;                  // epoch day
    std::array<uint32_t, 3> count{};  // groups 1, 2, 3
};

// The file image, field by field.
struct fault_db {
    uint32_t magic = 0;
    uint16_t version = 0;
    uint16_t reserved6 = 0;
    std::array<uint32_t, 3> total{};
    uint32_t last_ref_day = 0;  // day of slot 6; 0 until the window starts
    uint32_t time_invalid_events = 0;
    uint32_t backward_jump_events = 0;
    uint32_t forward_rebase_count = 0;
    uint32_t checksum = 0;
    uint32_t reserved40 = 0;
    std::array<fault_day_slot, 7> slots{};  // oldest first
};

std::array<uint8_t, fault_db_size> fault_db_encode(const fault_db& db);
fault_db fault_db_decode(const uint8_t in[fault_db_size]);
uint32_t fault_db_checksum(const fault_db& db);
fault_db fault_db_empty();

// Counts one fault of group 1..3 on epoch day `day` in the image: the total,
// the window (start, shift, rebase, backward jump) and the day's slot.
void fault_db_count(fault_db& db, int group, uint32_t day);

// Sum of the group's slots of the seven days ending `today`.
uint32_t fault_db_last_7_days(const fault_db& db, int group, uint32_t today);

struct fault_group_stats {
    uint8_t group = 0;
    uint32_t last_7_days = 0;
    uint32_t total = 0;
};

struct fault_counter_stats {
    std::array<fault_group_stats, 3> groups{};
    uint8_t count = 0;  // always 3
};

// 1 for slaves 1-3, 2 for 4-6, 3 for 7-9, 0 for any other id.
int fault_group_of_slave(int slave_id);

// The database in memory, whether it was loaded, and its file, under
// fault_db_lock (taken by every function below; never held with another lock).
struct fault_counter {
    std::mutex fault_db_lock;
    fault_db image;
    bool loaded = false;
    std::string path;
    logs::log_stores* stores = nullptr;  // whose writer saves the file; none: saved at once
};

// A fault the RF reader has decided to count, waiting for the fault worker:
// counting, saving and republishing the totals (after a pause) run there, in
// the order the faults came, so that reception never waits for them.
struct counted_fault {
    int slave = 0;
    int group = 0;
    uint64_t time_ms = 0;  // wall clock when the telegram came
};

struct fault_queue {
    std::mutex m;  // guards the members below
    std::condition_variable cv;
    std::deque<counted_fault> queue;
    bool busy = false;  // a fault is being counted
    bool stopping = false;
    std::thread thread;
};

// Until this runs the database is not available: add and get_stats fail.
// Loads the database from data_dir/fault_counter_db.bin, or creates an empty
// one (written at once) when the file is missing or invalid. True when a
// valid file was read or the new one written; the database is usable in
// memory either way. Later saves go to the writer of `stores` when given.
bool fault_counter_load(fault_counter& fc, const std::string& data_dir, logs::log_stores* stores = nullptr);

// Counts a fault of group 1..3 at time_ms (ms since 1970, 0 = now) and saves.
// True when the updated database was queued for the writer (without one:
// reached the file).
bool fault_counter_add(fault_counter& fc, int group, uint64_t time_ms);

// Totals and last-7-days counts at time_ms (0 = now). False when stats is
// null or the database is not available.
bool fault_counter_get_stats(fault_counter& fc, fault_counter_stats* stats, uint64_t time_ms);

// Prints the whole database on standard output.
void fault_counter_print_stats(fault_counter& fc);

// The last-7-days and total fault counts of groups 1 to 3, to every auxiliary
// point named after them in the station. Takes its value_store_lock for the
// updates; the caller must not hold it.
void publish_fault_totals(fault_counter& fc, outstation::station& station, std::span<const config::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset);

}  // namespace fpi
