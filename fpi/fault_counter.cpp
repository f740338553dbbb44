#include "fpi/fault_counter.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/le_bytes.h"
#include "core/unique_fd.h"
#include "outstation/aux_values.h"

namespace fpi {

namespace {

// The database's fields in file order, for encoding, decoding and its
// checksum (core::le_writer, le_reader, check_word): the reserved fields and
// the checksum itself stay out of the checksum.
template <class Io, class Db>
void fault_db_fields(Io& io, Db& db) {
    io(db.magic);
    io(db.version);
    io.unchecked(db.reserved6);
    for (auto& t : db.total) io(t);
    io(db.last_ref_day);
    io(db.time_invalid_events);
    io(db.backward_jump_events);
    io(db.forward_rebase_count);
    io.unchecked(db.checksum);
    io.unchecked(db.reserved40);
    for (auto& s : db.slots) {
        io(s.day);
        for (auto& n : s.count) io(n);
    }
}

}  // namespace

std::array<uint8_t, fault_db_size> fault_db_encode(const fault_db& db) {
    std::array<uint8_t, fault_db_size> out{};
    core::le_writer w{out.data()};
    fault_db_fields(w, db);
    return out;
}

fault_db fault_db_decode(const uint8_t in[fault_db_size]) {
    fault_db db;
    core::le_reader r{in};
    fault_db_fields(r, db);
    return db;
}

// XOR of 0xA5A5C3C3, the magic, the version, the seven words at 8..32 and
// the 28 slot words.
uint32_t fault_db_checksum(const fault_db& db) {
    core::check_word c{0xA5A5C3C3};
    fault_db_fields(c, db);
    return c.word;
}

fault_db fault_db_empty() {
    fault_db db;
    db.magic = fault_db_magic;
    db.version = fault_db_version;
    db.checksum = fault_db_checksum(db);
    return db;
}

static void start_window(fault_db& db, uint32_t day) {
    for (uint32_t i = 0; i < 7; ++i) db.slots[i] = fault_day_slot{day - 6 + i, {}};
    db.last_ref_day = day;
}

void fault_db_count(fault_db& db, int group, uint32_t d) {
    db.total[group - 1] += 1;
    uint32_t last = db.last_ref_day;
    if (last == 0) {
        start_window(db, d);
    } else if (last < d && d - last > 6) {
        start_window(db, d);
        db.forward_rebase_count += 1;
    } else if (last < d) {
        for (uint32_t next = last + 1; next <= d; ++next) {
            for (int i = 0; i < 6; ++i) db.slots[i] = db.slots[i + 1];
            db.slots[6] = fault_day_slot{next, {}};
        }
        db.last_ref_day = d;
    } else {
        uint32_t oldest = db.slots[0].day;
        if (d < oldest) {
            db.backward_jump_events += 1;
            if (oldest - d > 1) return;
        }
    }
    for (fault_day_slot& s : db.slots) {
        if (s.day == d) {
            s.count[group - 1] += 1;
            return;
        }
    }
    db.time_invalid_events += 1;
}

uint32_t fault_db_last_7_days(const fault_db& db, int group, uint32_t today) {
    uint32_t sum = 0;
    for (const fault_day_slot& s : db.slots)
        if (s.day <= today && today - s.day <= 6) sum += s.count[group - 1];
    return sum;
}

int fault_group_of_slave(int slave_id) {
    if (slave_id < 1 || slave_id > 9) return 0;
    return (slave_id - 1) / 3 + 1;
}

namespace {

uint64_t now_ms(uint64_t time_ms) {
    return time_ms != 0 ? time_ms : uint64_t(core::wall_clock.now_ms());
}

// After a power cut the file holds either the previous or the new database,
// never a part (logs::replace_file). With the stores' writer the image is
// queued for it; without (tools, tests), written here.
bool save(fault_counter& fc) {
    fc.image.checksum = fault_db_checksum(fc.image);
    auto bytes = fault_db_encode(fc.image);
    if (!fc.stores) return logs::replace_file(fc.path, bytes);
    logs::log_queue_file(*fc.stores, fc.path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    return true;
}

bool read_valid(const std::string& path, fault_db& out) {
    core::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    uint8_t buf[fault_db_size];
    if (core::read_full(fd.get(), buf, sizeof buf, 0) != ssize_t(sizeof buf)) return false;
    fault_db db = fault_db_decode(buf);
    if (db.magic != fault_db_magic || db.checksum != fault_db_checksum(db) ||
        db.version != fault_db_version)
        return false;
    out = db;
    return true;
}

}  // namespace

bool fault_counter_load(fault_counter& fc, const std::string& data_dir, logs::log_stores* stores) {
    std::lock_guard lock(fc.fault_db_lock);
    fc.path = data_dir + "/fault_counter_db.bin";
    fc.loaded = true;
    fc.stores = nullptr;  // a database made here is on the file before anything runs
    if (!read_valid(fc.path, fc.image)) {
        fc.image = fault_db_empty();
        if (!save(fc)) {
            fc.stores = stores;
            return false;
        }
    }
    fc.stores = stores;
    return true;
}

bool fault_counter_add(fault_counter& fc, int group, uint64_t time_ms) {
    if (group < 1 || group > 3) return false;
    uint32_t day = uint32_t(now_ms(time_ms) / ms_per_day);
    std::lock_guard lock(fc.fault_db_lock);
    if (!fc.loaded) return false;
    fault_db_count(fc.image, group, day);
    return save(fc);
}

bool fault_counter_get_stats(fault_counter& fc, fault_counter_stats* stats, uint64_t time_ms) {
    if (!stats) return false;
    uint32_t today = uint32_t(now_ms(time_ms) / ms_per_day);
    std::lock_guard lock(fc.fault_db_lock);
    if (!fc.loaded) return false;
    for (int g = 1; g <= 3; ++g)
        stats->groups[g - 1] = {uint8_t(g), fault_db_last_7_days(fc.image, g, today),
                                fc.image.total[g - 1]};
    stats->count = 3;
    return true;
}

void fault_counter_print_stats(fault_counter& fc) {
    std::lock_guard lock(fc.fault_db_lock);
    if (!fc.loaded) return;
    const fault_db& db = fc.image;
    std::printf("\n=== FAULT COUNTER DATABASE STATISTICS ===\n");
    std::printf("Magic: 0x%08X\n", db.magic);
    std::printf("Version: %u\n", unsigned(db.version));
    std::printf("Last ref epoch day: %u\n", db.last_ref_day);
    std::printf("Group1 total: %u\n", db.total[0]);
    std::printf("Group2 total: %u\n", db.total[1]);
    std::printf("Group3 total: %u\n", db.total[2]);
    std::printf("Time invalid events: %u\n", db.time_invalid_events);
    std::printf("Backward jump events: %u\n", db.backward_jump_events);
    std::printf("Forward rebase count: %u\n", db.forward_rebase_count);
    for (unsigned i = 0; i < 7; ++i)
        std::printf("Slot[%u] day=%u g1=%u g2=%u g3=%u\n", i, db.slots[i].day,
                    db.slots[i].count[0], db.slots[i].count[1], db.slots[i].count[2]);
}

void publish_fault_totals(fault_counter& fc, outstation::station& station, std::span<const config::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset) {
    const int64_t time = outstation::aux_time(asdu_time_offset);
    fault_counter_stats stats;
    if (!fault_counter_get_stats(fc, &stats, uint64_t(time))) return;
    fault_counter_print_stats(fc);
    std::array<outstation::group_totals, 3> totals{};
    for (size_t g = 0; g < totals.size(); ++g) totals[g] = {stats.groups[g].last_7_days, stats.groups[g].total};
    outstation::publish_group_totals(station, aux, time, totals);
}

}  // namespace fpi
