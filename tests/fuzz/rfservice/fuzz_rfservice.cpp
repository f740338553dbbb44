// rf.service's methods on arbitrary arguments: the argument table goes
// through the method's policy as the ubus client does it, then to the method
// of the object fpigate registers. The caller is one end of a socket pair
// (its replies are read back and decoded), the radio is another socket pair
// that answers write_channel with bytes from the input and then hangs up, so
// nothing ever waits. The logs and the CSV exports live in tmpfs.
//
// Input: byte 0 picks the method (modulo 7, in the object's order), byte 1 is
// the length n of the radio's answer, the next n bytes are that answer (for
// get_rf_data: the bytes of a frame recorded first), the rest is the blobmsg
// argument list.
//
// Checked: every reply is a whole ubus DATA frame whose body decodes; a
// method whose argument is missing or of the wrong type says
// invalid_argument and replies nothing; write_channel writes to the radio
// exactly the bytes its hexadecimal text stands for; reset_fpi_slave keeps a
// RESET exactly for an FPI 1-9.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "fpi/pending_reset.h"
#include "lib/ubus/client.h"
#include "lib/ubus/message.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "logs/text.h"
#include "rf/radio.h"
#include "rf/uart.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/clocks.h"
#include "tests/support/parts.h"
#include "services/rf_service.h"

namespace {

constexpr uint32_t rf_log_limit = 20;  // records; the exports stay small

void make_pair(int fds[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
}

// Everything readable on fd now.
std::vector<uint8_t> read_all(int fd) {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

struct environment : test_support::gateway_parts {
    std::string dir;
    ubus::object object;
    ubus::connection conn;
    int caller = -1;  // the other end of conn.sock

    environment() {
        fuzz_support::quiet_stdout();
        test_support::use_utc();
        fuzz_support::fake_clocks();
        fuzz_support::load_sample_config(cfg);
        dir = fuzz_support::scratch_dir("rfservice");
        cfg.settings.data_dir = cfg.settings.export_dir = dir;
        services::services_configure(services, cfg, 0);
        object = services::rf_service_object(services);

        int fds[2];
        make_pair(fds);
        conn.sock.reset(fds[0]);
        caller = fds[1];

        logs::system_event_db_init(stores, dir);
        logs::comm_event_db_init(stores, dir);
        stores.system_event_db.sync_writes = stores.comm_event_db.sync_writes = false;
        logs::system_event_db_append(stores, fuzz_support::wall_now / 1000, 1);
        logs::system_event_db_append(stores, fuzz_support::wall_now / 1000 + 1, 21);
        logs::comm_event_db_append(stores, fuzz_support::wall_now / 1000, "Connection opened with 10.0.0.5:51234", -71,
                                   1);
        open_rf_log();
    }

    // A new RF log holding two frames.
    void open_rf_log() {
        fuzz_support::open_empty_rf_log(stores, dir);
        const uint8_t frame[] = {0x01, 0x0c, 0x81, 0x82, 0x83, 0x84, 0x85, 0x8a, 0x86, 0x4f, 0x85, 0x8c, 0x80, 0x81, 0x04};
        record_frame(frame);
        record_frame({frame, 3});
    }

    void record_frame(std::span<const uint8_t> frame) {
        if (stores.rf_fpi_db.header.count >= rf_log_limit) open_rf_log();
        rf::event_data e;
        e.i_mean = 10;
        e.v_inst = 2300;
        {
            std::lock_guard lk(stores.rf_data_lock);
            logs::rf_data_add(stores, frame, fuzz_support::wall_now / 1000, 3, 0x65, 0, 0, "OK", nullptr, &e);
        }
        logs::log_flush(stores);  // on the file, so that the count above is the log's
    }
};

// The replies the caller got: whole DATA frames with a decodable body.
int check_replies(int caller) {
    const std::vector<uint8_t> in = read_all(caller);
    ubus::frame_reader reader;
    reader.feed(in.data(), in.size());
    int replies = 0;
    for (ubus::bytes raw;;) {
        const auto r = reader.next(raw);
        if (r == ubus::frame_reader::bad) std::abort();
        if (r == ubus::frame_reader::need_more) break;
        ubus::frame f;
        if (!ubus::parse_frame(raw, f) || f.type != ubus::msg::data) std::abort();
        const auto body = f.blob(ubus::attr_id::data);
        ubus::table t;
        if (!body || !ubus::decode(*body, t)) std::abort();
        ++replies;
    }
    if (reader.buf.size() != reader.start) std::abort();  // nothing but whole frames
    return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static environment env;
    if (size < 2) return 0;
    const ubus::method& m = env.object.methods[data[0] % env.object.methods.size()];
    const size_t answer_size = std::min<size_t>(data[1], size - 2);
    const std::span<const uint8_t> answer(data + 2, answer_size);
    const ubus::byte_view list(data + 2 + answer_size, size - 2 - answer_size);

    // The radio answers at once and hangs up.
    int radio[2];
    make_pair(radio);
    if (!answer.empty() && ::send(radio[1], answer.data(), answer.size(), MSG_NOSIGNAL) != ssize_t(answer.size()))
        std::abort();
    ::shutdown(radio[1], SHUT_WR);
    env.radio.rtu_fd = radio[0];

    if (m.name == "get_rf_data") env.record_frame(answer);
    for (int id = 1; id <= 9; ++id) fpi::pending_reset_clear(env.fpis, id);

    ubus::request req{env.conn, 7, 1, 42, m.name, "", "", list};
    const ubus::args a = ubus::parse_args(list, m.pol);
    const int status = m.fn(req, a);

    const int replies = check_replies(env.caller);
    const bool missing = !m.pol.empty() && !a[0];
    if (missing != (status == ubus::status::invalid_argument)) std::abort();
    if (missing && replies != 0) std::abort();
    if (status != ubus::status::ok && status != ubus::status::invalid_argument &&
        status != ubus::status::unknown_error)
        std::abort();

    const std::vector<uint8_t> written = read_all(radio[1]);
    if (m.name == "write_channel") {
        const auto expected = a[0] ? logs::hex_to_bytes(a[0]->s) : std::nullopt;
        if (written != expected.value_or(std::vector<uint8_t>{})) std::abort();
    } else if (!written.empty()) {
        std::abort();  // no other method talks to the radio
    }
    if (m.name == "reset_fpi_slave" && a[0]) {
        const int64_t id = a[0]->i;
        for (int k = 1; k <= 9; ++k)
            if (fpi::pending_reset_check(env.fpis, k) != (k == id)) std::abort();
    }
    while (env.io.dcu_reset_sem.try_acquire()) {
    }

    // Bytes the exchange did not take as the answer went back to the reader.
    uint8_t rest[512];
    while (rf::uart_read(env.radio, radio[0], rest, sizeof rest, 0) > 0) {
    }
    env.radio.rtu_fd = 0;
    ::close(radio[0]);
    ::close(radio[1]);
    {
        std::lock_guard lk(env.stores.rf_data_lock);
        env.stores.recent_rf_data = {};
    }
    return 0;
}
