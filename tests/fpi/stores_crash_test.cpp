// A child process counts faults and appends log records until it is killed
// with SIGKILL at a random moment; the stores must then load with everything
// the child had been told was saved.
//
// The child reports over a pipe after every append or count that returned,
// so the parent knows exactly what was committed. After each kill the parent
// reads the files itself, before any loader could repair them: the fault
// database must be whole with no total below what was committed; each index
// must hold a valid header whose live slots point, oldest first, at records
// that lie wholly below the committed end of the data file, and those
// records must be exactly the newest ones committed (the ring keeps 10000).
// Then the stores' own loaders and exports must agree.
//
// Where the files live: a SIGKILL ends the process, not the kernel. Every
// write() that returned is in the page cache and is what the next open sees,
// whatever the file system, and a write() cut short by the kill is cut short
// the same way on tmpfs and on ext4. fdatasync only matters when the machine
// itself stops, which no process can simulate. So the states a kill can
// leave are the same on tmpfs as on disk; on tmpfs the syncs cost nothing,
// which lets a trial run dozens of appends instead of one or two (a sync on
// the build machine's disk takes ~7 ms), and lets the rings wrap. The folder
// goes on /dev/shm when it is there, else in the temporary directory.
//
// Kill moments come from a seeded generator; the seed is printed with any
// failure and FPIGATE_CRASH_SEED=<seed> replays the same schedule.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>

#include "fpi/fault_counter.h"
#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "logs/text.h"
#include "tests/logs/store_test_util.h"

namespace {

using logs::log_max_entries;

// The three logs in the order the child appends to them.
enum log_id { system_log, comm_log, rf_log };
constexpr int log_count = 3;

// One pipe message: what has just been committed.
struct report {
    uint32_t what;   // 0..2: a fault of group 1..3; 3 + log_id: a log record; ready
    uint32_t value;  // the group's total, or the record's sequence number
};
constexpr uint32_t report_fault = 0, report_log = 3, report_ready = 6;

// What the parent knows was committed.
struct committed {
    std::array<uint32_t, 3> faults{};        // totals per group
    std::array<uint64_t, log_count> next{};   // records 0..next-1 of each log
    std::array<uint32_t, log_count> count{};  // live entries when the trial began
};

constexpr const char* comm_text = "Connection opened with 10.0.0.2";
const uint8_t rf_frame[] = {0x01, 0x65, 0x04};

// Record number `seq` of each log, as the child writes it: the number is the
// time stamp, so the files tell which records they hold.
bool append_record(logs::log_stores& stores, log_id log, uint64_t seq) {
    switch (log) {
    case system_log: return logs::system_event_db_append(stores, int64_t(seq), uint32_t(seq % 22));
    case comm_log: return logs::comm_event_db_append(stores, int64_t(seq), comm_text, -70, 1);
    case rf_log: {
        logs::rf_data_entry e;
        e.error_msg = "OK";
        e.slave_id = int(seq % 9) + 1;
        std::lock_guard lock(stores.rf_log_lock);
        const uint32_t head = stores.rf_fpi_db.header.head;
        logs::rf_fpi_db_append(stores, rf_frame, int64_t(seq), int64_t(seq), e);
        return stores.rf_fpi_db.header.head != head;
    }
    }
    return false;
}

void open_logs(logs::log_stores& stores, const std::string& dir) {
    for (logs::ring_log* log : {&stores.rf_fpi_db, &stores.system_event_db, &stores.comm_event_db})
        *log = logs::ring_log{};
    logs::rf_fpi_db_init(stores, dir);
    logs::system_event_db_init(stores, dir);
    logs::comm_event_db_init(stores, dir);
}

void send(int out, report r) {
    if (::write(out, &r, sizeof r) != ssize_t(sizeof r)) ::_exit(1);
}

[[noreturn]] void child(const std::string& dir, int out, committed from) {
    ::alarm(30);  // never outlive a failed parent
    fpi::fault_counter faults;
    fpi::fault_counter_load(faults, dir);
    logs::log_stores stores;
    open_logs(stores, dir);
    send(out, {report_ready, 0});
    std::array<uint64_t, log_count> seq = from.next;
    for (uint64_t k = 0;; ++k) {
        const int group = int(k % 3) + 1;
        if (fpi::fault_counter_add(faults, group, uint64_t(20000 + k % 9) * fpi::ms_per_day)) {
            fpi::fault_counter_stats stats;
            fpi::fault_counter_get_stats(faults, &stats, 0);
            send(out, {report_fault + uint32_t(group - 1), stats.groups[size_t(group - 1)].total});
        }
        for (log_id log : {system_log, comm_log, rf_log})
            if (append_record(stores, log, seq[log])) send(out, {report_log + log, uint32_t(seq[log]++)});
    }
}

// ---- Reading the files as they are on disk ----

// The whole file, read into `into`. The data files reach a megabyte and are
// read after every kill, so the buffer is kept from one read to the next.
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
         if (std::string_view(reinterpret_cast<const char*>(r + 16), le16(r + 14)) != comm_text) return "text";
         return nullptr;
     }},
    {&logs::rf_fpi_kind, logs::rf_fpi_fixed_size, [](const uint8_t* r) { return size_t(le16(r + 58)) + le16(r + 60); },
     [](const uint8_t* r, uint64_t seq) -> const char* {
         if (le64(r) != seq) return "received_time";
         if (le64(r + 8) != seq) return "frame_time";
         if (r[16] != seq % 9 + 1) return "slave_id";
         if (le16(r + 58) != sizeof rf_frame || le16(r + 60) != 2) return "frame_len or msg_len";
         const uint8_t* p = r + logs::rf_fpi_fixed_size;
         if (!std::equal(rf_frame, rf_frame + sizeof rf_frame, p) || p[3] != 'O' || p[4] != 'K')
             return "frame or message bytes";
         return nullptr;
     }},
};

// What one log holds on disk.
struct log_on_disk {
    std::string problem;  // empty when the files are valid
    logs::log_index_header header;
    uint64_t first = 0, last = 0;  // sequence numbers of the oldest and newest live records
};

// Checks the index header and follows every live slot, oldest first: each
// must point past the end of the record before it, at a whole record that
// ends at or below the committed end of the data (next_data_offset), and
// the records must be consecutive.
struct log_files {
    std::vector<uint8_t> index, data;
};

log_on_disk read_log(const std::string& dir, const log_format& fmt, log_files& files) {
    log_on_disk r;
    const logs::log_kind& k = *fmt.kind;
    if (!read_file(dir + "/" + k.index_file, files.index) || !read_file(dir + "/" + k.data_file, files.data)) {
        r.problem = "index or data file missing";
        return r;
    }
    const std::vector<uint8_t>* index = &files.index;
    const std::vector<uint8_t>* data = &files.data;
    if (index->size() != logs::log_index_size) {
        r.problem = "index of " + std::to_string(index->size()) + " bytes";
        return r;
    }
    const logs::log_index_header& h = r.header = logs::decode_header(index->data());
    if (h.magic != k.magic || h.version != 1 || h.max_entries != log_max_entries ||
        h.check != logs::header_check(h, k.check_constant) || h.count > h.max_entries || h.head >= h.max_entries ||
        h.tail >= h.max_entries || h.head != (h.tail + h.count) % h.max_entries) {
        r.problem = "invalid index header";
        return r;
    }
    if (h.next_data_offset > data->size()) {
        r.problem = "next_data_offset " + std::to_string(h.next_data_offset) + " past the data file's " +
                    std::to_string(data->size()) + " bytes";
        return r;
    }
    uint64_t end_of_previous = 0;
    for (uint32_t i = 0; i < h.count; ++i) {
        const uint32_t slot = (h.tail + i) % h.max_entries;
        const uint64_t at = le64(index->data() + logs::log_header_size + 8 * size_t(slot));
        auto fail = [&](const std::string& what) {
            std::ostringstream where;
            where << "live entry " << i << " (slot " << slot << ", offset " << at << "): " << what;
            r.problem = where.str();
            return r;
        };
        if (at < end_of_previous) return fail("before the end of the record before it");
        if (at + fmt.fixed_size > h.next_data_offset) return fail("ahead of the committed data");
        const uint8_t* record = data->data() + at;
        const uint64_t end = at + fmt.fixed_size + fmt.variable_size(record);
        if (end > h.next_data_offset) return fail("record runs past the committed data");
        const uint64_t seq = le64(record);
        if (i == 0) r.first = seq;
        if (seq != r.first + i)
            return fail("record " + std::to_string(seq) + " where " + std::to_string(r.first + i) + " belongs");
        if (const char* field = fmt.differs(record, seq)) return fail(std::string(field) + " differs");
        r.last = seq;
        end_of_previous = end;
    }
    return r;
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
// time-out under emulation. Half of them start with every ring one short of
// wrapping, so that their kills land in appends that push the oldest record
// out of a full ring.
struct crash_case {
    const char* name;
    uint32_t prefill;  // records in each log before the first trial
    uint64_t salt;     // makes each case's schedule its own under one seed
};
const crash_case crash_cases[] = {
    {"FromEmpty1", 0, 1},
    {"FromEmpty2", 0, 2},
    {"FromEmpty3", 0, 3},
    {"FromEmpty4", 0, 4},
    {"FullRings1", log_max_entries - 1, 5},
    {"FullRings2", log_max_entries - 1, 6},
    {"FullRings3", log_max_entries - 1, 7},
    {"FullRings4", log_max_entries - 1, 8},
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

    committed saved;
    fpi::fault_counter faults;
    ASSERT_TRUE(fpi::fault_counter_load(faults, dir.path));
    logs::log_stores stores;
    open_logs(stores, dir.path);
    for (logs::ring_log* log : {&stores.rf_fpi_db, &stores.system_event_db, &stores.comm_event_db})
        log->sync_writes = false;  // filling, not crashing
    for (log_id log : {system_log, comm_log, rf_log}) {
        for (uint64_t seq = 0; seq < cc.prefill; ++seq) ASSERT_TRUE(append_record(stores, log, seq));
        saved.next[log] = cc.prefill;
        saved.count[log] = cc.prefill;
    }

    std::array<log_files, log_count> files;  // kept from trial to trial
    for (int trial = 0; trial < trials_per_case; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        const committed at_start = saved;
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            child(dir.path, fds[1], saved);
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

        // The moment: now and then while the child loads the stores, else
        // after some reports and a spin of up to a few appends.
        committed seen = saved;
        auto take = [&](const report& r) {
            if (r.what < report_log) seen.faults[r.what] = r.value;
            else if (r.what < report_ready) seen.next[r.what - report_log] = uint64_t(r.value) + 1;
        };
        const bool during_start = rng() % 8 == 0;
        const auto spin = std::chrono::microseconds(during_start ? rng() % 1500 : rng() % 300);
        if (!during_start) {
            const uint64_t reports = 1 + rng() % 48;  // ready, then up to 47 commits
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
        saved = seen;

        // On disk, before any loader runs. At most one store may hold one
        // thing more than was reported: the append or count under way when
        // the kill came (or done, its report not yet written).
        int unreported = 0;
        const std::optional<fpi::fault_db> db = read_fault_db(dir.path);
        ASSERT_TRUE(db) << "the fault database is not whole";
        for (int g = 0; g < 3; ++g) {
            ASSERT_GE(db->total[size_t(g)], saved.faults[size_t(g)]) << "group " << g + 1;
            unreported += int(db->total[size_t(g)] - saved.faults[size_t(g)]);
        }
        std::array<log_on_disk, log_count> on_disk;
        for (log_id log : {system_log, comm_log, rf_log}) {
            SCOPED_TRACE(formats[log].kind->index_file);
            const log_on_disk& d = on_disk[log] = read_log(dir.path, formats[log], files[log]);
            ASSERT_EQ(d.problem, "");
            const uint64_t n = saved.next[log];
            const uint32_t count = d.header.count;
            const uint64_t newest = count == 0 ? 0 : d.last + 1;  // records 0..newest-1 reached the log
            // What the reported appends leave: the entries there before and
            // the new ones, up to the ring's 10000.
            const uint64_t expected =
                std::min<uint64_t>(at_start.count[log] + (n - at_start.next[log]), log_max_entries);
            if (newest == n && count == expected) {
                // exactly what was reported
            } else if (newest == n + 1 && count == std::min<uint64_t>(expected + 1, log_max_entries)) {
                ++unreported;  // the append under way was committed, its report not yet written
            } else if (newest == n && expected == log_max_entries && count + 1 == expected) {
                ++unreported;  // an append into the full ring had dropped the oldest entry
            } else {
                FAIL() << count << " entries, records " << newest - count << " to " << newest << " (exclusive); "
                       << n << " records committed, " << expected << " entries expected";
            }
            saved.next[log] = newest;
            saved.count[log] = count;
        }
        ASSERT_LE(unreported, 1);
        for (int g = 0; g < 3; ++g) saved.faults[size_t(g)] = db->total[size_t(g)];

        // The stores' own loaders take the files as they are ...
        ASSERT_TRUE(fpi::fault_counter_load(faults, dir.path));
        fpi::fault_counter_stats stats;
        ASSERT_TRUE(fpi::fault_counter_get_stats(faults, &stats, 0));
        for (int g = 0; g < 3; ++g) EXPECT_EQ(stats.groups[size_t(g)].total, saved.faults[size_t(g)]);
        open_logs(stores, dir.path);
        const logs::ring_log* loaded[log_count] = {&stores.system_event_db, &stores.comm_event_db, &stores.rf_fpi_db};
        for (log_id log : {system_log, comm_log, rf_log}) {
            EXPECT_EQ(loaded[log]->header.count, on_disk[log].header.count);
            EXPECT_EQ(loaded[log]->header.tail, on_disk[log].header.tail);
            EXPECT_EQ(loaded[log]->header.next_data_offset, on_disk[log].header.next_data_offset);
        }

        // ... and export every live record, oldest first: on every tenth
        // trial and the last, as formatting thousands of rows costs more than
        // everything else in a trial (the reading above has followed every
        // slot already).
        if (HasFailure()) break;
        if (trial % 10 != 9 && trial + 1 < trials_per_case) continue;
        const uint32_t n = stores.system_event_db.header.count;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(logs::system_event_db_export_csv(stores, dir / "s.csv"), int(n));
        EXPECT_EQ(logs::comm_event_db_export_csv(stores, dir / "c.csv"), int(stores.comm_event_db.header.count));
        ::testing::internal::CaptureStdout();
        {
            std::lock_guard lock(stores.rf_log_lock);
            EXPECT_EQ(logs::rf_fpi_db_export_csv(stores, dir / "r.csv"), int(stores.rf_fpi_db.header.count));
        }
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        std::string expected = "Timestamp,DIO_Events\n";
        for (uint64_t i = on_disk[system_log].first; n > 0 && i <= on_disk[system_log].last; ++i)
            expected += stamp(int64_t(i)) + "," + logs::dio_event_name(uint32_t(i % 22)) + "\n";
        EXPECT_EQ(store_test::read_text(dir / "s.csv"), expected);
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Trials, StoresCrash, testing::ValuesIn(crash_cases),
                         [](const testing::TestParamInfo<crash_case>& i) { return std::string(i.param.name); });
