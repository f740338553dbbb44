// A child process counts faults and appends log records through the log
// writer until it is killed with SIGKILL at a random moment; the stores must
// then load with everything the child had been told was saved, and nothing
// it had not been told of beyond the batch under way.
//
// The child works in batches: it announces a batch (how many records of each
// log, which fault group if any), queues the records and the count, waits
// for the writer with log_flush and only then reports the batch committed.
// So the parent knows exactly what was committed and what was in flight.
// After each kill the parent reads the files itself, before any loader could
// repair them: the fault database must be whole, each total the committed one
// or, for the group of the batch in flight, one more. Each index must hold a
// valid header whose live slots point, oldest first, at whole records placed
// as a ring (ascending, at most one wrap to 0, none overlapping another, all
// before the bound but those of a file written without it, the newest ending
// at next_data_offset), and its records must be exactly what the ring keeps
// of the committed ones plus a prefix of the batch in flight; see
// check_against_model. Then the stores' own loaders and exports must agree.
//
// The data files get a small bound so that the trials wrap them again and
// again, as well as the 10000 slots of the index.
//
// Where the files live: a SIGKILL ends the process, not the kernel. Every
// write() that returned is in the page cache and is what the next open sees,
// whatever the file system, and a write() cut short by the kill is cut short
// the same way on tmpfs and on ext4. fdatasync only matters when the machine
// itself stops, which no process can simulate. So the states a kill can
// leave are the same on tmpfs as on disk; on tmpfs the syncs cost nothing,
// which lets a trial run dozens of batches instead of one or two. The folder
// goes on /dev/shm when it is there, else in the temporary directory.
//
// Kill moments and batch sizes come from a seeded generator; the seed is
// printed with any failure and FPIGATE_CRASH_SEED=<seed> replays the same
// schedule.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <random>
#include <sstream>

#include "fpi/fault_counter.h"
#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "logs/text.h"
#include "logs/writer.h"
#include "tests/logs/ring_model.h"
#include "tests/logs/store_test_util.h"

namespace {

using logs::log_max_entries;
using store_test::placed;
using store_test::ring_model;

// The three logs in the order the child queues them.
enum log_id { system_log, comm_log, rf_log };
constexpr int log_count = 3;
constexpr log_id all_logs[] = {system_log, comm_log, rf_log};

// The bound the child gives each data file.
constexpr uint32_t bound_kb = logs::log_min_limit_kb;
constexpr uint64_t bound = uint64_t(bound_kb) * 1024;

// One pipe message. A batch is announced, then reported committed.
struct report {
    uint32_t what;
    std::array<uint32_t, log_count> records{};  // batch: records of each log
    uint32_t fault_group = 0;                   // batch: 1..3, or 0 for none
};
constexpr uint32_t report_ready = 0, report_batch = 1, report_committed = 2;
constexpr uint32_t max_batch_records = 40;

// Record number `seq` of each log, as the child writes it: the number is the
// time stamp, so the files tell which records they hold. The communication
// and RF records vary in length, so that new records overlap old ones in
// every way and the rings wrap often.
const std::string words =
    "Connection opened with 10.0.0.2:2404 by the master of the control centre, then closed again by the "
    "master after its general interrogation, as every master does when its link supervision runs out";
std::string_view comm_text(uint64_t seq) { return std::string_view(words).substr(0, 8 + seq % 41); }
std::string_view rf_message(uint64_t seq) { return std::string_view(words).substr(0, 2 + seq % 150); }
const uint8_t rf_frame[] = {0x01, 0x65, 0x04};

uint64_t record_size(log_id log, uint64_t seq) {
    switch (log) {
    case system_log: return logs::system_event_size;
    case comm_log: return logs::comm_event_fixed_size + comm_text(seq).size();
    case rf_log: return logs::rf_fpi_fixed_size + sizeof rf_frame + rf_message(seq).size();
    }
    return 0;
}

void queue_record(logs::log_stores& stores, log_id log, uint64_t seq) {
    switch (log) {
    case system_log: logs::system_event_db_append(stores, int64_t(seq), uint32_t(seq % 22)); return;
    case comm_log:
        logs::comm_event_db_append(stores, int64_t(seq), std::string(comm_text(seq)).c_str(), -70, 1);
        return;
    case rf_log: {
        logs::rf_data_entry e;
        e.error_msg = rf_message(seq);
        e.slave_id = int(seq % 9) + 1;
        logs::rf_fpi_db_append(stores, rf_frame, int64_t(seq), int64_t(seq), e);
        return;
    }
    }
}

void open_logs(logs::log_stores& stores, const std::string& dir, uint32_t limit_kb) {
    for (logs::ring_log* log : {&stores.rf_fpi_db, &stores.system_event_db, &stores.comm_event_db})
        *log = logs::ring_log{};
    logs::rf_fpi_db_init(stores, dir, limit_kb);
    logs::system_event_db_init(stores, dir, limit_kb);
    logs::comm_event_db_init(stores, dir, limit_kb);
}

void send(int out, const report& r) {
    if (::write(out, &r, sizeof r) != ssize_t(sizeof r)) ::_exit(1);
}

[[noreturn]] void child(const std::string& dir, int out, std::array<uint64_t, log_count> seq, uint64_t seed) {
    ::alarm(30);  // never outlive a failed parent
    std::mt19937_64 rng(seed);
    logs::log_stores stores;
    open_logs(stores, dir, bound_kb);
    fpi::fault_counter faults;
    fpi::fault_counter_load(faults, dir, &stores);
    logs::log_writer_start(stores);
    send(out, {report_ready});
    for (uint64_t k = 0;; ++k) {
        report batch{report_batch};
        for (log_id log : all_logs) batch.records[log] = 1 + uint32_t(rng() % max_batch_records);
        batch.fault_group = rng() % 2 ? 1 + uint32_t(rng() % 3) : 0;
        send(out, batch);
        if (batch.fault_group &&
            !fpi::fault_counter_add(faults, int(batch.fault_group), uint64_t(20000 + k % 9) * fpi::ms_per_day))
            ::_exit(2);
        for (log_id log : all_logs)
            for (uint32_t i = 0; i < batch.records[log]; ++i) queue_record(stores, log, seq[log]++);
        logs::log_flush(stores);
        send(out, {report_committed});
    }
}

// ---- Reading the files as they are on disk ----

// The whole file, read into `into`. Kept from one read to the next.
bool read_file(const std::string& path, std::vector<uint8_t>& into) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    into.resize(::fstat(fd, &st) == 0 ? size_t(st.st_size) : 0);
    size_t got = 0;
    for (ssize_t n = 1; got < into.size() && n > 0; got += size_t(n > 0 ? n : 0))
        n = ::pread(fd, into.data() + got, into.size() - got, off_t(got));
    into.resize(got);
    ::close(fd);
    return true;
}

struct log_format {
    const logs::log_kind* kind;
    size_t fixed_size;
    size_t (*variable_size)(const uint8_t* record);
    // The field in which the record differs from record number `seq`, or
    // nullptr. Called some 30000 times a trial, so it only compares.
    const char* (*differs)(const uint8_t* record, uint64_t seq);
};

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

const log_format formats[log_count] = {
    {&logs::system_event_kind, logs::system_event_size, [](const uint8_t*) { return size_t(0); },
     [](const uint8_t* r, uint64_t seq) -> const char* {
         if (le64(r) != seq) return "time";
         if (le32(r + 8) != seq % 22) return "code";
         return nullptr;
     }},
    {&logs::comm_event_kind, logs::comm_event_fixed_size, [](const uint8_t* r) { return size_t(le16(r + 14)); },
     [](const uint8_t* r, uint64_t seq) -> const char* {
         if (le64(r) != seq) return "time";
         if (le32(r + 8) != uint32_t(-70)) return "rssi";
         if (r[12] != 1) return "status";
         if (std::string_view(reinterpret_cast<const char*>(r + 16), le16(r + 14)) != comm_text(seq)) return "text";
         return nullptr;
     }},
    {&logs::rf_fpi_kind, logs::rf_fpi_fixed_size, [](const uint8_t* r) { return size_t(le16(r + 58)) + le16(r + 60); },
     [](const uint8_t* r, uint64_t seq) -> const char* {
         if (le64(r) != seq) return "received_time";
         if (le64(r + 8) != seq) return "frame_time";
         if (r[16] != seq % 9 + 1) return "slave_id";
         if (le16(r + 58) != sizeof rf_frame || le16(r + 60) != rf_message(seq).size()) return "frame_len or msg_len";
         const uint8_t* p = r + logs::rf_fpi_fixed_size;
         if (!std::equal(rf_frame, rf_frame + sizeof rf_frame, p) ||
             std::string_view(reinterpret_cast<const char*>(p + sizeof rf_frame), le16(r + 60)) != rf_message(seq))
             return "frame or message bytes";
         return nullptr;
     }},
};

// What one log holds on disk.
struct log_on_disk {
    std::string problem;  // empty when the files are valid
    logs::log_index_header header;
    uint64_t data_size = 0;
    std::deque<placed> live;  // oldest first
};

struct log_files {
    std::vector<uint8_t> index, data;
};

// Checks the index header and follows every live slot, oldest first. The
// records lie as a ring: each after the end of the one before it, except
// for at most one wrap to offset 0, after which none reaches the oldest
// record; each wholly inside the file, and before the bound unless it is
// one of the first `unbounded` records (written before the file had one);
// consecutive numbers; the newest ending at next_data_offset.
log_on_disk read_log(const std::string& dir, const log_format& fmt, log_files& files, uint64_t unbounded) {
    log_on_disk r;
    const logs::log_kind& k = *fmt.kind;
    if (!read_file(dir + "/" + k.index_file, files.index) || !read_file(dir + "/" + k.data_file, files.data)) {
        r.problem = "index or data file missing";
        return r;
    }
    const std::vector<uint8_t>& index = files.index;
    const std::vector<uint8_t>& data = files.data;
    r.data_size = data.size();
    if (index.size() != logs::log_index_size) {
        r.problem = "index of " + std::to_string(index.size()) + " bytes";
        return r;
    }
    const logs::log_index_header& h = r.header = logs::decode_header(index.data());
    if (h.magic != k.magic || h.version != 1 || h.max_entries != log_max_entries ||
        h.check != logs::header_check(h, k.check_constant) || h.count > h.max_entries || h.head >= h.max_entries ||
        h.tail >= h.max_entries || h.head != (h.tail + h.count) % h.max_entries) {
        r.problem = "invalid index header";
        return r;
    }
    bool wrapped = false;
    for (uint32_t i = 0; i < h.count; ++i) {
        const uint32_t slot = (h.tail + i) % h.max_entries;
        const uint64_t at = le64(index.data() + logs::log_header_size + 8 * size_t(slot));
        auto fail = [&](const std::string& what) {
            std::ostringstream where;
            where << "live entry " << i << " (slot " << slot << ", offset " << at << "): " << what;
            r.problem = where.str();
            return r;
        };
        if (i > 0 && at < r.live.back().offset + r.live.back().size) {
            if (at != 0 || wrapped) return fail("overlaps the record before it");
            wrapped = true;
        }
        if (at > data.size() || data.size() - at < fmt.fixed_size) return fail("runs past the end of the data file");
        const uint8_t* record = data.data() + at;
        const uint64_t size = fmt.fixed_size + fmt.variable_size(record);
        if (data.size() - at < size) return fail("runs past the end of the data file");
        if (wrapped && at + size > r.live.front().offset) return fail("overlaps the oldest record");
        const uint64_t seq = le64(record);
        if (i > 0 && seq != r.live.back().seq + 1)
            return fail("record " + std::to_string(seq) + " where " + std::to_string(r.live.back().seq + 1) +
                        " belongs");
        if (const char* field = fmt.differs(record, seq)) return fail(std::string(field) + " differs");
        if (seq >= unbounded && at + size > bound) return fail("past the bound");
        r.live.push_back({seq, at, size});
    }
    if (h.count > 0 && r.live.back().offset + r.live.back().size != h.next_data_offset)
        r.problem = "the newest record ends at " + std::to_string(r.live.back().offset + r.live.back().size) +
                    ", next_data_offset is " + std::to_string(h.next_data_offset);
    return r;
}

// ---- What the ring must hold ----

// The model as the log is taken over from the files: with an empty index
// the next record goes behind whatever the data file holds.
ring_model model_of(const log_on_disk& d) {
    return {.bound = bound,
            .live = d.live,
            .end = d.header.count ? d.header.next_data_offset : std::max(d.data_size, d.header.next_data_offset)};
}

// The writer commits a log's records in groups, in order: a group's
// displaced entries leave the index by one header, then its records are
// written and committed by the next. The batch in flight may thus have been
// split into groups anyhow, so the files may show the committed records
// plus the first p records of the batch (p = 0 .. in_flight), and without
// the oldest entries that a group of the batch's next q - p records (q = p
// .. in_flight) displaces: what the model holds after p records, less its
// entries older than the model's oldest after q. Nothing else.
std::string check_against_model(ring_model model, const log_on_disk& d, log_id log, uint64_t first_new,
                                uint64_t committed, uint64_t in_flight) {
    std::ostringstream why;
    for (uint64_t s = first_new; s < first_new + committed; ++s) model.add(s, record_size(log, s));
    const uint64_t newest_committed = first_new + committed;  // one past
    uint64_t p = 0;
    if (!d.live.empty()) {
        const uint64_t newest = d.live.back().seq + 1;
        if (newest < newest_committed || newest > newest_committed + in_flight) {
            why << "records up to " << newest << " (exclusive) on file; " << newest_committed
                << " committed, " << in_flight << " more in flight";
            return why.str();
        }
        p = newest - newest_committed;
    }
    for (uint64_t s = newest_committed; s < newest_committed + p; ++s) model.add(s, record_size(log, s));
    const std::deque<placed> at_p = model.live;
    std::vector<size_t> allowed_cuts;  // entries of at_p a group under way may have dropped
    for (uint64_t q = p;; ++q) {
        size_t cut = 0;
        while (cut < at_p.size() && (model.live.empty() || at_p[cut].seq < model.live.front().seq)) ++cut;
        if (allowed_cuts.empty() || allowed_cuts.back() != cut) allowed_cuts.push_back(cut);
        if (q == in_flight) break;
        const uint64_t s = newest_committed + q;
        model.add(s, record_size(log, s));
    }
    for (size_t cut : allowed_cuts)
        if (d.live.size() == at_p.size() - cut && std::equal(d.live.begin(), d.live.end(), at_p.begin() + ptrdiff_t(cut)))
            return "";
    why << d.live.size() << " entries on file";
    if (!d.live.empty())
        why << ", records " << d.live.front().seq << " (offset " << d.live.front().offset << ") to "
            << d.live.back().seq << " (offset " << d.live.back().offset << ")";
    why << "; the ring holds " << at_p.size() << " after " << p << " of the " << in_flight << " in flight";
    if (!at_p.empty())
        why << ", records " << at_p.front().seq << " (offset " << at_p.front().offset << ") to " << at_p.back().seq
            << " (offset " << at_p.back().offset << ")";
    why << ", of which the batch may have dropped the oldest";
    for (size_t cut : allowed_cuts) why << " " << cut;
    return why.str();
}

// The fault database file, when it is whole and valid.
std::optional<fpi::fault_db> read_fault_db(const std::string& dir) {
    std::vector<uint8_t> bytes;
    if (!read_file(dir + "/fault_counter_db.bin", bytes) || bytes.size() != fpi::fault_db_size) return std::nullopt;
    const fpi::fault_db db = fpi::fault_db_decode(bytes.data());
    if (db.magic != fpi::fault_db_magic || db.version != fpi::fault_db_version ||
        db.checksum != fpi::fault_db_checksum(db))
        return std::nullopt;
    return db;
}

std::string stamp(int64_t t) {
    char buf[32];
    logs::format_timestamp(t, buf, sizeof buf);
    return buf;
}

uint64_t base_seed() {
    if (const char* s = std::getenv("FPIGATE_CRASH_SEED")) return std::strtoull(s, nullptr, 0);
    static const uint64_t seed = (uint64_t(std::random_device{}()) << 32) | std::random_device{}();
    return seed;
}

// The 1000 trials, in eight cases so that each stays well inside the CTest
// time-out under emulation. Each case's trials go on from the files the one
// before left.
enum class start_from {
    empty,     // no files
    wrapped,   // 9999 records written with the bound: the data wrapped, the slots one short of wrapping
    unbounded  // 15000 records written with the default bounds: a full index, a file far beyond the
               // bound whose live records start well past it, so that at first every new record
               // drops the oldest entry for want of a slot
};
struct crash_case {
    const char* name;
    start_from start;
    uint64_t prefill;  // records of each log written before the first trial
    uint64_t salt;     // makes each case's schedule its own under one seed
};
const crash_case crash_cases[] = {
    {"FromEmpty1", start_from::empty, 0, 1},
    {"FromEmpty2", start_from::empty, 0, 2},
    {"FromEmpty3", start_from::empty, 0, 3},
    {"Wrapped1", start_from::wrapped, log_max_entries - 1, 4},
    {"Wrapped2", start_from::wrapped, log_max_entries - 1, 5},
    {"Wrapped3", start_from::wrapped, log_max_entries - 1, 6},
    {"Unbounded1", start_from::unbounded, 15000, 7},
    {"Unbounded2", start_from::unbounded, 15000, 8},
};
constexpr int trials_per_case = 125;  // 1000 in all

// How test listings (and CTest names) show a case.
void PrintTo(const crash_case& c, std::ostream* out) { *out << c.name; }

class StoresCrash : public testing::TestWithParam<crash_case> {};

}  // namespace

TEST_P(StoresCrash, SigkillAtRandomMomentsLosesNothingSaved) {
    const crash_case& cc = GetParam();
    const uint64_t seed = base_seed();
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (replay with FPIGATE_CRASH_SEED=" << seed << ")");
    std::mt19937_64 rng(seed + 0x9E3779B97F4A7C15ull * cc.salt);
    store_test::use_utc();
    test_support::temp_dir dir{"fpigate-crash", test_support::temp_dir::memory};
    ASSERT_FALSE(dir.path.empty());

    fpi::fault_counter faults;
    ASSERT_TRUE(fpi::fault_counter_load(faults, dir.path));
    std::array<uint32_t, 3> fault_totals{};
    logs::log_stores stores;
    const uint64_t unbounded = cc.start == start_from::unbounded ? cc.prefill : 0;
    open_logs(stores, dir.path, cc.start == start_from::unbounded ? 0 : bound_kb);
    if (cc.start != start_from::empty) {
        for (logs::ring_log* log : {&stores.rf_fpi_db, &stores.system_event_db, &stores.comm_event_db})
            log->sync_writes = false;  // filling, not crashing
        for (log_id log : all_logs)
            for (uint64_t seq = 0; seq < cc.prefill; ++seq) queue_record(stores, log, seq);
        logs::log_flush(stores);
    }

    std::array<log_files, log_count> files;  // kept from trial to trial
    std::array<log_on_disk, log_count> on_disk;
    for (log_id log : all_logs) {
        on_disk[log] = read_log(dir.path, formats[log], files[log], unbounded);
        ASSERT_EQ(on_disk[log].problem, "");
    }
    if (cc.start == start_from::unbounded) {
        for (log_id log : all_logs) {
            ASSERT_EQ(on_disk[log].live.size(), log_max_entries);
            ASSERT_GT(on_disk[log].live.front().offset, bound);
        }
    }
    std::array<uint64_t, log_count> next{};  // the number of each log's next record
    for (log_id log : all_logs) next[log] = on_disk[log].live.empty() ? 0 : on_disk[log].live.back().seq + 1;

    for (int trial = 0; trial < trials_per_case; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const uint64_t child_seed = rng();
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            child(dir.path, fds[1], next, child_seed);
        }
        ::close(fds[1]);
        // Should an assertion end the trial early, the child goes with it.
        struct reaper {
            pid_t pid;
            int fd;
            ~reaper() {
                if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
                if (fd >= 0) ::close(fd);
            }
        } child_process{pid, fds[0]};

        // What the child reported: the batches committed, and the one in
        // flight (announced, not yet reported committed).
        std::array<uint64_t, log_count> committed{};
        std::array<uint32_t, 3> faults_committed = fault_totals;
        std::optional<report> in_flight;
        auto take = [&](const report& r) {
            if (r.what == report_batch) in_flight = r;
            if (r.what != report_committed || !in_flight) return;
            for (log_id log : all_logs) committed[log] += in_flight->records[log];
            if (in_flight->fault_group) ++faults_committed[in_flight->fault_group - 1];
            in_flight.reset();
        };
        // The moment: now and then while the child loads the stores, else
        // after some reports and a spin of up to a few commits.
        const bool during_start = rng() % 8 == 0;
        const auto spin = std::chrono::microseconds(during_start ? rng() % 1500 : rng() % 300);
        if (!during_start) {
            const uint64_t reports = 1 + rng() % 24;  // ready, then up to 23 batch reports
            for (uint64_t i = 0; i < reports; ++i) {
                report r;
                ASSERT_EQ(::read(fds[0], &r, sizeof r), ssize_t(sizeof r)) << "the child ended by itself";
                take(r);
            }
        }
        for (const auto end = std::chrono::steady_clock::now() + spin; std::chrono::steady_clock::now() < end;) {
        }
        ::kill(pid, SIGKILL);
        for (report r; ::read(fds[0], &r, sizeof r) == ssize_t(sizeof r);) take(r);
        int status = 0;
        ::waitpid(pid, &status, 0);
        child_process.pid = -1;
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;

        // On disk, before any loader runs.
        const std::optional<fpi::fault_db> db = read_fault_db(dir.path);
        ASSERT_TRUE(db) << "the fault database is not whole";
        for (uint32_t g = 0; g < 3; ++g) {
            const bool may_be_ahead = in_flight && in_flight->fault_group == g + 1;
            if (db->total[g] != faults_committed[g]) {
                EXPECT_TRUE(may_be_ahead && db->total[g] == faults_committed[g] + 1)
                    << "group " << g + 1 << ": total " << db->total[g] << ", " << faults_committed[g] << " committed";
            }
            fault_totals[g] = db->total[g];
        }
        for (log_id log : all_logs) {
            SCOPED_TRACE(formats[log].kind->index_file);
            const log_on_disk d = read_log(dir.path, formats[log], files[log], unbounded);
            ASSERT_EQ(d.problem, "");
            if (!unbounded) {
                EXPECT_LE(d.data_size, bound);
            }
            EXPECT_EQ(check_against_model(model_of(on_disk[log]), d, log, next[log], committed[log],
                                          in_flight ? in_flight->records[log] : 0),
                      "");
            on_disk[log] = d;
            next[log] = d.live.empty() ? next[log] : d.live.back().seq + 1;
        }
        if (HasFailure()) break;

        // The stores' own loaders take the files as they are ...
        ASSERT_TRUE(fpi::fault_counter_load(faults, dir.path));
        fpi::fault_counter_stats stats;
        ASSERT_TRUE(fpi::fault_counter_get_stats(faults, &stats, 0));
        for (size_t g = 0; g < 3; ++g) EXPECT_EQ(stats.groups[g].total, fault_totals[g]);
        open_logs(stores, dir.path, bound_kb);
        const logs::ring_log* loaded[log_count] = {&stores.system_event_db, &stores.comm_event_db, &stores.rf_fpi_db};
        for (log_id log : all_logs) {
            EXPECT_EQ(loaded[log]->header.count, on_disk[log].header.count);
            EXPECT_EQ(loaded[log]->header.tail, on_disk[log].header.tail);
            EXPECT_EQ(loaded[log]->header.next_data_offset, on_disk[log].header.next_data_offset);
        }

        // ... and export every live record, oldest first: on every tenth
        // trial and the last, as formatting thousands of rows costs more than
        // everything else in a trial (the reading above has followed every
        // slot already).
        if (trial % 10 != 9 && trial + 1 < trials_per_case) continue;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(logs::system_event_db_export_csv(stores, dir / "s.csv"), int(on_disk[system_log].live.size()));
        EXPECT_EQ(logs::comm_event_db_export_csv(stores, dir / "c.csv"), int(on_disk[comm_log].live.size()));
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(logs::rf_fpi_db_export_csv(stores, dir / "r.csv"), int(on_disk[rf_log].live.size()));
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        std::string expected = "Timestamp,DIO_Events\n";
        for (const placed& p : on_disk[system_log].live)
            expected += stamp(int64_t(p.seq)) + "," + logs::dio_event_name(uint32_t(p.seq % 22)) + "\n";
        EXPECT_EQ(store_test::read_text(dir / "s.csv"), expected);
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Trials, StoresCrash, testing::ValuesIn(crash_cases),
                         [](const testing::TestParamInfo<crash_case>& i) { return std::string(i.param.name); });
