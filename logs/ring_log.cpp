#include "logs/ring_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/le_bytes.h"
#include "core/unique_fd.h"

namespace logs {

constexpr log_kind rf_fpi_kind = {
    "rf_fpi_index.bin", "rf_fpi_data.bin", 0x52464650, 0xA5A5A5A5,
    "create index file", "write index header", "init offsets",
    "Failed to append entry to data file: %s\n",
    "Failed to write index offset (slot=%u)\n",
    "Failed to write index header after append\n",
    4096,
};

constexpr log_kind system_event_kind = {
    "system_event_index.bin", "system_event_data.bin", 0x53454442, 0x5A5AA5A5,
    "create system event index file", "write system event index header",
    "init system event offsets",
    "Failed to append system event to data file: %s\n",
    "Failed to write system event index offset (slot=%u)\n",
    "Failed to write system event index header after append\n",
    256,
};

constexpr log_kind comm_event_kind = {
    "communication_event_index.bin", "communication_event_data.bin", 0x43454442, 0xC0A5A55A,
    "create communication event index file", "write communication event index header",
    "init communication event offsets",
    "Failed to append communication event to data file: %s\n",
    "Failed to write communication event index offset (slot=%u)\n",
    "Failed to write communication event index header after append\n",
    1024,
};

// The header's fields in file order, for encoding, decoding and its check
// word (core::le_writer, le_reader, check_word).
template <class Io, class Header>
static void header_fields(Io& io, Header& h) {
    io(h.magic);
    io(h.version);
    io.unchecked(h.reserved6);
    io(h.max_entries);
    io(h.count);
    io(h.head);
    io(h.tail);
    io(h.next_data_offset);
    io.unchecked(h.check);
    io.unchecked(h.reserved36);
}

void encode_header(const log_index_header& h, uint8_t out[log_header_size]) {
    core::le_writer w{out};
    header_fields(w, h);
}

log_index_header decode_header(const uint8_t in[log_header_size]) {
    log_index_header h;
    core::le_reader r{in};
    header_fields(r, h);
    return h;
}

uint32_t header_check(const log_index_header& h, uint32_t check_constant) {
    core::check_word c{check_constant};
    header_fields(c, h);
    return c.word;
}

// A header passes when its check word matches and max_entries is 10000. The
// ring fields must also describe a ring of that size: a header that passes
// the check with a head or tail outside it would make appends write far
// beyond the slot table.
static bool header_valid(const log_index_header& h, uint32_t check_constant) {
    return h.check == header_check(h, check_constant) && h.max_entries == log_max_entries &&
           h.count <= h.max_entries && h.head < h.max_entries && h.tail < h.max_entries &&
           h.head == (h.tail + h.count) % h.max_entries;
}

static bool load_index(ring_log& log) {
    core::unique_fd fd(::open(log.index_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::vector<uint8_t> buf(log_index_size);
    if (core::read_full(fd.get(), buf.data(), buf.size(), 0) != ssize_t(buf.size())) return false;
    log.header = decode_header(buf.data());
    if (!header_valid(log.header, log.kind->check_constant)) return false;
    log.slots.resize(log_max_entries);
    for (uint32_t i = 0; i < log_max_entries; ++i)
        log.slots[i] = core::get_le64(buf.data() + log_header_size + 8 * size_t(i));
    return true;
}

// Writes a fresh empty index: the header, then 10000 zero slots. The
// in-memory header is the fresh one whatever happens here.
static void create_index(const ring_log& log) {
    const log_kind& k = *log.kind;
    core::unique_fd fd(::open(log.index_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        std::perror(k.create_index);
        return;
    }
    uint8_t header[log_header_size];
    encode_header(log.header, header);
    if (!core::write_all(fd.get(), header, sizeof header)) {
        std::perror(k.write_header);
        return;
    }
    static constexpr uint8_t zero_slots[8 * log_max_entries] = {};
    if (!core::write_all(fd.get(), zero_slots, sizeof zero_slots)) std::perror(k.init_offsets);
}

void ring_log_open(ring_log& log, const log_kind& kind, const std::string& dir, uint32_t limit_kb) {
    log.kind = &kind;
    log.index_path = dir + "/" + kind.index_file;
    log.data_path = dir + "/" + kind.data_file;
    log.limit = uint64_t(std::max(limit_kb ? limit_kb : kind.default_limit_kb, log_min_limit_kb)) * 1024;
    log.dropped = 0;
    log.is_open = true;

    core::unique_fd data(::open(log.data_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    data.close();

    if (load_index(log)) return;

    // Missing or invalid: start an empty index. The old file is removed
    // first; should that fail, the creation below truncates it all the same,
    // so the check never loops.
    ::unlink(log.index_path.c_str());
    log.header = log_index_header{};
    log.header.magic = kind.magic;
    log.header.version = 1;
    log.header.max_entries = log_max_entries;
    log.header.check = header_check(log.header, kind.check_constant);
    log.slots.assign(log_max_entries, 0);
    create_index(log);
}

uint64_t ring_log_group_limit(const ring_log& log) {
    return (log.limit ? log.limit : uint64_t(log_min_limit_kb) * 1024) / 4;
}

namespace {

// Where a group's records go and what they displace, worked out before
// anything is written.
struct group_plan {
    std::vector<uint64_t> offsets;  // one per record
    uint32_t drops = 0;             // live entries to drop from the tail first
    uint64_t shorten_to = 0;        // the data file's new length after a wrap, 0 = leave it
};

// The data file is a ring of `limit` bytes. Live records lie, oldest first,
// from the tail's offset up to the bound and on from 0 to the write position
// (or, before the first wrap, in one ascending run), so the bytes a new
// record takes belong to a prefix of the live entries: those are dropped from
// the tail. A record that does not fit before the bound starts again at 0; the
// bytes it skips count as taken, so the entries there (the oldest) go too.
// The ring's own capacity of 10000 entries drops more where it is full.
group_plan plan_group(const ring_log& log, std::span<const std::vector<uint8_t>> records, uint64_t data_size) {
    const log_index_header& h = log.header;
    group_plan plan;
    // An empty index starts behind what the data file holds, as before the
    // bound existed; with live entries the header's end is the position.
    uint64_t pos = h.count == 0 ? std::max(data_size, h.next_data_offset) : h.next_data_offset;
    uint32_t live = h.count;  // entries of the old ring still live
    auto oldest = [&] { return log.slots[(h.tail + plan.drops) % h.max_entries]; };
    for (const std::vector<uint8_t>& r : records) {
        const uint64_t len = r.size();
        const bool wrap = pos > 0 && pos + len > log.limit;
        const uint64_t start = wrap ? 0 : pos;
        auto taken = [&](uint64_t at) {
            if (wrap) return at >= pos || at < len;
            return at >= pos && at < pos + len;
        };
        while (live > 0 && taken(oldest())) ++plan.drops, --live;
        if (live > 0 && live + (plan.offsets.size() + 1) > h.max_entries) ++plan.drops, --live;
        // After a wrap every live record lies below the old position: a file
        // of an older version, grown past the bound, can now be cut to it.
        if (wrap) plan.shorten_to = std::max(pos, log.limit);
        plan.offsets.push_back(start);
        pos = start + len;
    }
    return plan;
}

}  // namespace

size_t ring_log_commit(ring_log& log, std::span<const std::vector<uint8_t>> records, std::mutex& lock) {
    if (!log.kind || records.empty()) return 0;
    const log_kind& k = *log.kind;
    auto lost = [&](size_t from, int err) {
        for (size_t i = from; i < records.size(); ++i) std::fprintf(stderr, k.append_failed, std::strerror(err));
    };
    if (!log.is_open) {
        lost(0, EBADF);
        return 0;
    }
    core::unique_fd data(::open(log.data_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    struct stat st {};
    if (!data || ::fstat(data.get(), &st) != 0) {
        lost(0, errno);
        return 0;
    }
    core::unique_fd index(::open(log.index_path.c_str(), O_WRONLY | O_CLOEXEC));
    const group_plan plan = plan_group(log, records, uint64_t(st.st_size));
    log_index_header h = log.header;
    uint8_t header[log_header_size];
    auto write_header = [&](bool sync) {
        h.check = header_check(h, k.check_constant);
        encode_header(h, header);
        if (!index || !core::write_all(index.get(), header, sizeof header, 0) ||
            (sync && log.sync_writes && ::fdatasync(index.get()) != 0))
            std::fprintf(stderr, "%s", k.header_write_failed);
    };

    // The displaced entries leave the index, synced, before a byte of theirs
    // or a slot of theirs is overwritten: a power cut or a kill in between
    // must not leave the index listing a record that is half replaced.
    if (plan.drops > 0) {
        h.tail = (h.tail + plan.drops) % h.max_entries;
        h.count -= plan.drops;
        {
            std::lock_guard guard(lock);
            log.header = h;
            log.dropped += plan.drops;
        }
        write_header(true);
    }
    if (plan.shorten_to && uint64_t(st.st_size) > plan.shorten_to)
        if (::ftruncate(data.get(), off_t(plan.shorten_to)) != 0) std::perror(k.data_file);

    // The records, then one sync: the index never refers to bytes that a
    // power cut could take back.
    size_t written = 0;
    for (; written < records.size(); ++written)
        if (!core::write_all(data.get(), records[written].data(), records[written].size(),
                             off_t(plan.offsets[written])))
            break;
    if (written < records.size()) lost(written, errno);
    if (written > 0 && log.sync_writes && ::fdatasync(data.get()) != 0) {
        lost(0, errno);
        written = 0;
    }
    if (written == 0) return 0;

    // The slots, synced, then the header that commits them.
    for (size_t i = 0; i < written; ++i) {
        uint8_t slot[8];
        const uint32_t at = (h.head + uint32_t(i)) % h.max_entries;
        core::put_le64(slot, plan.offsets[i]);
        if (!index || !core::write_all(index.get(), slot, sizeof slot, off_t(log_header_size + 8 * size_t(at))))
            std::fprintf(stderr, k.slot_write_failed, at);
    }
    if (index && log.sync_writes && ::fdatasync(index.get()) != 0) std::fprintf(stderr, k.slot_write_failed, h.head);

    {
        std::lock_guard guard(lock);
        for (size_t i = 0; i < written; ++i) log.slots[(h.head + i) % h.max_entries] = plan.offsets[i];
        h.next_data_offset = plan.offsets[written - 1] + records[written - 1].size();
        h.head = (h.head + uint32_t(written)) % h.max_entries;
        h.count += uint32_t(written);
        h.check = header_check(h, k.check_constant);
        log.header = h;
    }
    write_header(false);
    return written;
}

bool ring_log_append(ring_log& log, std::span<const uint8_t> record) {
    std::mutex unshared;
    const std::vector<uint8_t> one(record.begin(), record.end());
    return ring_log_commit(log, std::span(&one, 1), unshared) == 1;
}

}  // namespace logs
