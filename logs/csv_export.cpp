// One walk over the live slots serves the three logs; the per-log part is the
// csv_format table. The slots come from the log's copy in memory and the data
// file stays open for the whole export, read through a window, so a full log
// costs one open instead of 20000; the rows are the same as reading each slot
// and record on its own.
#include "logs/csv_export.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "logs/stores.h"
#include "core/le_bytes.h"
#include "logs/records.h"
#include "logs/text.h"
#include "logs/writer.h"
#include "core/unique_fd.h"

namespace logs {

namespace {

struct csv_format {
    log_id log;
    const char* header;
    size_t fixed_size;
    size_t (*variable_size)(const uint8_t* fixed);
    void (*write_row)(FILE* out, const uint8_t* record, std::string& scratch);
    const char* open_failed;   // perror
    const char* write_failed;  // perror: the file could not be written whole
    const char* entry_failed;  // %llu offset, %u slot
    bool print_summary;
};

size_t rf_variable_size(const uint8_t* fixed) {
    return size_t(core::get_le16(fixed + 58)) + core::get_le16(fixed + 60);
}

void write_rf_row(FILE* out, const uint8_t* record, std::string& scratch) {
    rf_fpi_fields f = decode_rf_fpi_fixed(record);
    char received[32], framed[32];
    format_timestamp(f.received_time, received, sizeof received);
    format_timestamp(f.frame_time, framed, sizeof framed);
    const uint8_t* frame = record + rf_fpi_fixed_size;
    scratch.resize(2 * size_t(f.frame_len) + 1);
    bytes_to_hex(frame, f.frame_len, scratch.data());
    std::string msg(reinterpret_cast<const char*>(frame + f.frame_len), f.msg_len);
    const rf::fpi_measurement& m = f.measured;
    std::fprintf(out,
                 "%s,%s,\"%s\",\"%s\",%u,%u,%u,%u,%u,%u,%u,%u,%u,%.2f,%.2f,%u,%u,%u,%u,%u,%u,%u,"
                 "%.2f,%u,%u\n",
                 received, framed, scratch.c_str(), msg.c_str(), f.slave_id, f.cmd_type, m.fault,
                 m.reset, m.i_status, m.i_mean, m.i_min, m.i_max, m.v_status, double(m.v_inst),
                 double(m.batt_v), m.rssi, m.di_dt_level, m.imax_level, m.auto_reset,
                 m.flash_time, m.inrush, m.validation, double(m.voltage), m.freq, m.period);
}

size_t no_variable_part(const uint8_t*) { return 0; }

void write_system_row(FILE* out, const uint8_t* record, std::string&) {
    char when[32];
    format_timestamp(int64_t(core::get_le64(record)), when, sizeof when);
    std::fprintf(out, "%s,%s\n", when, dio_event_name(core::get_le32(record + 8)));
}

size_t comm_variable_size(const uint8_t* fixed) { return core::get_le16(fixed + 14); }

void write_comm_row(FILE* out, const uint8_t* record, std::string&) {
    char when[32] = "1970-01-01 00:00:00";
    std::tm tm{};
    time_t t = time_t(int64_t(core::get_le64(record)));
    if (!localtime_r(&t, &tm) || std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        std::snprintf(when, sizeof when, "1970-01-01 00:00:00");
    std::string text(reinterpret_cast<const char*>(record + comm_event_fixed_size),
                     core::get_le16(record + 14));
    uint8_t status = record[12];
    const char* state = status == 0 ? "Disconnected" : status == 1 ? "Connected" : "Unknown";
    std::fprintf(out, "%s,\"%s\",%d,%s\n", when, text.c_str(), int32_t(core::get_le32(record + 8)),
                 state);
}

constexpr csv_format rf_fpi_csv = {
    log_id::rf_fpi,
    "Received_Frame_Timestamp,Frame_Timestamp,Frame,ErrorMsg,SlaveID,CmdType,Fault,ResetValue,"
    "IStatus,IMean,IMin,IMax,VStatus,VInst,BattV,RSSI,DiDtLevel,ImaxLevel,AutoReset,FlashTime,"
    "Inrush,Validation,MV,Freq,Period\n",
    rf_fpi_fixed_size, rf_variable_size, write_rf_row,
    "fopen csv",
    "write csv",
    "Failed read entry at offset %llu (idx %u)\n",
    true,
};

constexpr csv_format system_event_csv = {
    log_id::system_event,
    "Timestamp,DIO_Events\n",
    system_event_size, no_variable_part, write_system_row,
    "fopen system event csv",
    "write system event csv",
    "Failed to read system event entry at offset %llu (idx %u)\n",
    false,
};

constexpr csv_format comm_event_csv = {
    log_id::comm_event,
    "Timestamp,IEC Communication Event,RSSI,Data connection status\n",
    comm_event_fixed_size, comm_variable_size, write_comm_row,
    "fopen communication event csv",
    "write communication event csv",
    "Failed to read communication event entry at offset %llu (idx %u)\n",
    false,
};

struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};

// Reads the data file through one 64 KiB window: live records lie mostly in
// ascending order, so a full export costs a few dozen reads, not 20000.
struct data_reader {
    int fd = -1;
    std::vector<uint8_t> window = std::vector<uint8_t>(1 << 16);
    uint64_t start = 0;
    size_t filled = 0;

    bool read(uint64_t offset, uint8_t* out, size_t len) {
        if (fd < 0 || offset > uint64_t(INT64_MAX) - len) return false;
        if (len > window.size()) return core::read_full(fd, out, len, off_t(offset)) == ssize_t(len);
        if (!in_window(offset, len)) {
            ssize_t n = core::read_full(fd, window.data(), window.size(), off_t(offset));
            if (n < 0) return false;
            start = offset;
            filled = size_t(n);
            if (len > filled) return false;
        }
        std::memcpy(out, window.data() + (offset - start), len);
        return true;
    }

    bool in_window(uint64_t offset, size_t len) const {
        return offset >= start && offset - start <= filled && len <= filled - (offset - start);
    }
};

// Reads the record at offset into record; false when any part is missing.
bool read_record(data_reader& data, uint64_t offset, const csv_format& fmt,
                 std::vector<uint8_t>& record) {
    record.resize(fmt.fixed_size);
    if (!data.read(offset, record.data(), fmt.fixed_size)) return false;
    size_t extra = fmt.variable_size(record.data());
    record.resize(fmt.fixed_size + extra);
    return data.read(offset + fmt.fixed_size, record.data() + fmt.fixed_size, extra);
}

ring_log& log_of(log_stores& stores, const csv_format& fmt) { return stores.*log_members[size_t(fmt.log)].log; }
std::mutex& lock_of(log_stores& stores, const csv_format& fmt) { return stores.*log_members[size_t(fmt.log)].lock; }

// The live entries as the export found them: their offsets, oldest first
// (entry i in slot (tail + i) % max_entries), and how many entries the log
// had dropped then. Entry i is still live (its bytes not yet reused) while
// the log's drop count stays at or below dropped + i.
struct live_entries {
    std::vector<uint64_t> offsets;
    uint32_t tail = 0, max_entries = 1;
    uint64_t dropped = 0;
    uint32_t slot(size_t i) const { return uint32_t((tail + i) % max_entries); }
};

live_entries copy_live(log_stores& stores, const csv_format& fmt) {
    std::lock_guard lock(lock_of(stores, fmt));
    const ring_log& log = log_of(stores, fmt);
    const log_index_header& h = log.header;
    live_entries live;
    live.dropped = log.dropped;
    if (log.slots.size() != h.max_entries) return live;
    live.tail = h.tail;
    live.max_entries = h.max_entries;
    live.offsets.reserve(h.count);
    for (uint32_t i = 0; i < h.count; ++i) live.offsets.push_back(log.slots[live.slot(i)]);
    return live;
}

uint64_t dropped_now(log_stores& stores, const csv_format& fmt) {
    std::lock_guard lock(lock_of(stores, fmt));
    return log_of(stores, fmt).dropped;
}

// Takes back the rows written after `start`.
bool rewind_rows(FILE* out, long start) {
    return std::fflush(out) == 0 && ::ftruncate(::fileno(out), off_t(start)) == 0 &&
           std::fseek(out, start, SEEK_SET) == 0;
}

// Reads the log without holding up its writer: every entry queued before the
// export is written first, the live entries are copied under the log's lock,
// and the records are read with the lock released. The writer drops an entry
// before it reuses its bytes, so a record read and then found still live was
// read whole; one dropped meanwhile (the ring moved past it) is left out, and
// with it the rows of the older entries already written, dropped before it:
// the export is always one unbroken run of the log, ending with its newest
// entry when the export began.
int export_csv(log_stores& stores, const csv_format& fmt, const std::string& path) {
    log_flush(stores);
    const live_entries live = copy_live(stores, fmt);
    const ring_log& log = log_of(stores, fmt);

    std::vector<char> out_buffer(1 << 16);  // outlives the stream below
    std::unique_ptr<FILE, file_closer> out(std::fopen(path.c_str(), "w"));
    if (!out) {
        std::perror(fmt.open_failed);
        return -1;
    }
    std::setvbuf(out.get(), out_buffer.data(), _IOFBF, out_buffer.size());
    std::fputs(fmt.header, out.get());
    const long first_row = std::ftell(out.get());
    bool rewound = true;

    core::unique_fd data_fd(live.offsets.empty() ? -1 : ::open(log.data_path.c_str(), O_RDONLY | O_CLOEXEC));
    data_reader data{data_fd.get()};

    std::vector<uint8_t> record;
    std::string scratch;
    int rows = 0;
    for (size_t i = 0; i < live.offsets.size(); ++i) {
        const uint64_t offset = live.offsets[i];
        const bool whole = read_record(data, offset, fmt, record);
        if (live.dropped + i < dropped_now(stores, fmt)) {  // reused while read
            if (rows > 0) rewound = rewind_rows(out.get(), first_row) && rewound;
            rows = 0;
            continue;
        }
        if (!whole) {
            std::fprintf(stderr, fmt.entry_failed, (unsigned long long)offset, live.slot(i));
            continue;
        }
        fmt.write_row(out.get(), record.data(), scratch);
        ++rows;
    }
    // A CSV file cut short (a full /tmp) must not be handed out as the
    // export: the caller reports the failure instead.
    bool written = rewound && !std::ferror(out.get());
    written = std::fclose(out.release()) == 0 && written;
    if (!written) {
        std::perror(fmt.write_failed);
        return -1;
    }
    if (fmt.print_summary) std::printf("Exported %d entries to %s\n", rows, path.c_str());
    return rows;
}

}  // namespace

int rf_fpi_db_export_csv(log_stores& stores, const std::string& path) {
    return export_csv(stores, rf_fpi_csv, path);
}

int system_event_db_export_csv(log_stores& stores, const std::string& path) {
    return export_csv(stores, system_event_csv, path);
}

int comm_event_db_export_csv(log_stores& stores, const std::string& path) {
    return export_csv(stores, comm_event_csv, path);
}

}  // namespace logs
