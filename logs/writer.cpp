#include "logs/writer.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <functional>
#include <system_error>
#include <unistd.h>

#include "core/clock.h"
#include "core/unique_fd.h"
#include "logs/stores.h"

namespace logs {

namespace {

// At stop, what is queued is written for at most this long; the rest is
// counted and dropped.
constexpr uint64_t stop_write_ms = 2000;

// A group never takes more entries of one log than this, so that one commit
// stays short and an export waiting behind it waits little.
constexpr size_t max_group_entries = 1000;

// What an entry holds of the queue's bound.
size_t entry_cost(const std::vector<uint8_t>& record) { return record.size() + log_entry_overhead; }

// Entries that left the queue are finished once no group is under way.
void settle(log_writer& w) {
    if (!w.busy) w.committed = w.taken;
}

void report_drops(log_writer& w) {
    if (w.dropped == 0 || !w.queue.empty()) return;
    std::printf("Event logs: %llu queued entries dropped, the flash could not keep up\n",
                (unsigned long long)w.dropped);
    w.dropped = 0;
}

// Takes a group off the queue, writes it with the lock released, and marks it
// finished. The caller holds lk and has checked that no other group is under
// way.
void write_group(log_stores& stores, std::unique_lock<std::mutex>& lk) {
    log_writer& w = stores.writer;
    w.busy = true;
    std::array<std::vector<std::vector<uint8_t>>, log_id_count> groups;
    std::array<uint64_t, log_id_count> bytes{};
    while (!w.queue.empty()) {
        queued_entry& e = w.queue.front();
        const size_t i = size_t(e.log);
        const ring_log& log = stores.*log_members[i].log;
        if (!groups[i].empty() &&
            (bytes[i] + e.record.size() > ring_log_group_limit(log) || groups[i].size() >= max_group_entries))
            break;
        bytes[i] += e.record.size();
        w.queued_bytes -= entry_cost(e.record);
        groups[i].push_back(std::move(e.record));
        w.queue.pop_front();
        ++w.taken;
    }
    std::vector<queued_file> files;
    files.swap(w.files);
    const uint64_t files_target = w.files_queued;
    lk.unlock();

    for (const queued_file& f : files)
        if (!replace_file(f.path, f.bytes)) std::fprintf(stderr, "%s: %s\n", f.path.c_str(), std::strerror(errno));
    for (size_t i = 0; i < log_id_count; ++i)
        if (!groups[i].empty()) ring_log_commit(stores.*log_members[i].log, groups[i], stores.*log_members[i].lock);

    lk.lock();
    w.busy = false;
    w.files_written = files_target;
    settle(w);
    report_drops(w);
    w.done.notify_all();
}

bool has_work(const log_writer& w) { return !w.queue.empty() || !w.files.empty(); }

// At stop, past the deadline: the entries left are not written.
void abandon_queue(log_writer& w) {
    if (w.queue.empty()) return;
    const size_t left = w.queue.size();
    w.taken += left;
    w.queue.clear();
    w.queued_bytes = 0;
    settle(w);
    std::printf("Event logs: %zu entries not written at exit\n", left);
    w.done.notify_all();
}

// Writes groups until nothing is left or the stop's time is up. The caller
// holds lk; a group under way on another thread (a flush) is waited for.
void drain(log_stores& stores, std::unique_lock<std::mutex>& lk) {
    log_writer& w = stores.writer;
    for (;;) {
        w.done.wait(lk, [&] { return !w.busy; });
        if (w.files.empty() && core::monotonic_ms() >= w.stop_deadline) abandon_queue(w);
        if (!has_work(w)) break;
        write_group(stores, lk);
    }
    report_drops(w);
}

void writer_loop(log_stores& stores) {
    log_writer& w = stores.writer;
    std::unique_lock lk(w.m);
    for (;;) {
        w.work.wait(lk, [&] { return w.stopping || has_work(w); });
        if (w.stopping) break;
        if (w.busy) {  // a flush on another thread is writing a group
            w.done.wait(lk, [&] { return !w.busy; });
            continue;
        }
        write_group(stores, lk);
    }
    drain(stores, lk);
    w.running = false;
    w.done.notify_all();
}

}  // namespace

bool replace_file(const std::string& path, std::span<const uint8_t> bytes) {
    const std::string tmp = path + ".tmp";
    core::unique_fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return false;
    if (!core::write_all(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0 || !fd.close() ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    const std::string dir = path.substr(0, path.find_last_of('/') + 1);
    core::unique_fd dfd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd) ::fsync(dfd.get());
    return true;
}

void log_writer_start(log_stores& stores) {
    log_writer& w = stores.writer;
    std::lock_guard lk(w.m);
    if (w.thread.joinable()) return;
    w.stopping = false;
    try {
        w.thread = std::thread(writer_loop, std::ref(stores));
        w.running = true;
        ::pthread_setname_np(w.thread.native_handle(), "log writer");
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "log_writer_start: %s\n", e.what());
    }
}

void log_writer_stop(log_stores& stores) {
    log_writer& w = stores.writer;
    {
        std::lock_guard lk(w.m);
        w.stopping = true;
        w.stop_deadline = core::monotonic_ms() + stop_write_ms;
    }
    if (w.thread.joinable()) {
        w.work.notify_all();
        w.thread.join();
    }
    // Without a thread, or for what was queued while it ended: written here.
    std::unique_lock lk(w.m);
    drain(stores, lk);
}

void log_queue(log_stores& stores, log_id log, std::vector<uint8_t> record) {
    log_writer& w = stores.writer;
    {
        std::lock_guard lk(w.m);
        const size_t cost = entry_cost(record);
        while (!w.queue.empty() && w.queued_bytes + cost > w.max_queued_bytes) {
            w.queued_bytes -= entry_cost(w.queue.front().record);
            w.queue.pop_front();
            ++w.taken;
            ++w.dropped;
        }
        settle(w);
        w.queued_bytes += cost;
        w.queue.push_back({log, std::move(record)});
        ++w.queued;
    }
    w.work.notify_one();
}

void log_queue_file(log_stores& stores, std::string path, std::vector<uint8_t> bytes) {
    log_writer& w = stores.writer;
    {
        std::lock_guard lk(w.m);
        ++w.files_queued;
        bool replaced = false;
        for (queued_file& f : w.files)
            if (f.path == path) f.bytes = std::move(bytes), replaced = true;
        if (!replaced) w.files.push_back({std::move(path), std::move(bytes)});
    }
    w.work.notify_one();
}

void log_flush(log_stores& stores) {
    log_writer& w = stores.writer;
    std::unique_lock lk(w.m);
    const uint64_t target = w.queued, files_target = w.files_queued;
    auto finished = [&] { return w.committed >= target && w.files_written >= files_target; };
    while (!finished()) {
        if (w.running || w.busy) {
            w.work.notify_one();
            w.done.wait(lk);
        } else {
            write_group(stores, lk);
        }
    }
}

}  // namespace logs
