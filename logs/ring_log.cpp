#include "logs/ring_log.h"

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
};

constexpr log_kind system_event_kind = {
    "system_event_index.bin", "system_event_data.bin", 0x53454442, 0x5A5AA5A5,
    "create system event index file", "write system event index header",
    "init system event offsets",
    "Failed to append system event to data file: %s\n",
    "Failed to write system event index offset (slot=%u)\n",
    "Failed to write system event index header after append\n",
};

constexpr log_kind comm_event_kind = {
    "communication_event_index.bin", "communication_event_data.bin", 0x43454442, 0xC0A5A55A,
    "create communication event index file", "write communication event index header",
    "init communication event offsets",
    "Failed to append communication event to data file: %s\n",
    "Failed to write communication event index offset (slot=%u)\n",
    "Failed to write communication event index header after append\n",
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

static bool load_header(const std::string& path, uint32_t check_constant, log_index_header& out) {
    core::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    uint8_t buf[log_header_size];
    if (core::read_full(fd.get(), buf, sizeof buf, 0) != ssize_t(sizeof buf)) return false;
    out = decode_header(buf);
    return header_valid(out, check_constant);
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

void ring_log_open(ring_log& log, const log_kind& kind, const std::string& dir) {
    log.kind = &kind;
    log.index_path = dir + "/" + kind.index_file;
    log.data_path = dir + "/" + kind.data_file;
    log.is_open = true;

    core::unique_fd data(::open(log.data_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    data.close();

    if (load_header(log.index_path, kind.check_constant, log.header)) return;

    // Missing or invalid: start an empty index. The old file is removed
    // first; should that fail, the creation below truncates it all the same,
    // so the check never loops.
    ::unlink(log.index_path.c_str());
    log.header = log_index_header{};
    log.header.magic = kind.magic;
    log.header.version = 1;
    log.header.max_entries = log_max_entries;
    log.header.check = header_check(log.header, kind.check_constant);
    create_index(log);
}

// The data file part of an append. The record goes down in one write and is
// synced before the index may point at it, so an index entry that survives a
// power cut never refers to bytes that did not. A data file shorter than
// next_data_offset (its tail lost in a power cut while the index was kept) is
// first grown to that length, so a new record never lands under an offset
// that a live slot still holds.
static bool append_data(ring_log& log, std::span<const uint8_t> record, uint64_t& offset) {
    core::unique_fd fd(::open(log.data_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return false;
    off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end < 0) return false;
    offset = uint64_t(end);
    if (offset < log.header.next_data_offset) {
        if (::ftruncate(fd.get(), off_t(log.header.next_data_offset)) != 0) return false;
        offset = log.header.next_data_offset;
    }
    if (!core::write_all(fd.get(), record.data(), record.size())) return false;
    if (log.sync_writes && ::fdatasync(fd.get()) != 0) return false;
    return fd.close();
}

bool ring_log_append(ring_log& log, std::span<const uint8_t> record) {
    if (!log.kind) return false;
    const log_kind& k = *log.kind;
    if (!log.is_open) {
        std::fprintf(stderr, k.append_failed, std::strerror(EBADF));
        return false;
    }
    uint64_t offset = 0;
    if (!append_data(log, record, offset)) {
        std::fprintf(stderr, k.append_failed, std::strerror(errno));
        return false;
    }
    log_index_header& h = log.header;
    core::unique_fd index(::open(log.index_path.c_str(), O_WRONLY | O_CLOEXEC));
    uint8_t header[log_header_size];

    // In a full ring the slot the record takes holds the oldest live entry.
    // That entry is dropped first, by a header of its own synced before the
    // slot changes: otherwise a power cut or a kill between the slot and
    // the header below would leave the oldest live entry pointing at a
    // record the header never committed, listed as the oldest.
    if (h.count == h.max_entries) {
        h.tail = (h.tail + 1) % h.max_entries;
        --h.count;
        h.check = header_check(h, k.check_constant);
        encode_header(h, header);
        if (!index || !core::write_all(index.get(), header, sizeof header, 0) ||
            (log.sync_writes && ::fdatasync(index.get()) != 0))
            std::fprintf(stderr, "%s", k.header_write_failed);
    }

    // The slot next, synced, then the header: the header is the commit, and
    // it is one 40-byte write at the start of the file.
    uint8_t slot[8];
    core::put_le64(slot, offset);
    if (!index || !core::write_all(index.get(), slot, sizeof slot, off_t(log_header_size + 8 * size_t(h.head))) ||
        (log.sync_writes && ::fdatasync(index.get()) != 0))
        std::fprintf(stderr, k.slot_write_failed, h.head);

    h.next_data_offset = offset + record.size();
    h.head = (h.head + 1) % h.max_entries;
    ++h.count;
    h.check = header_check(h, k.check_constant);
    encode_header(h, header);
    if (!index || !core::write_all(index.get(), header, sizeof header, 0) || !index.close())
        std::fprintf(stderr, "%s", k.header_write_failed);
    return true;
}

}  // namespace logs
