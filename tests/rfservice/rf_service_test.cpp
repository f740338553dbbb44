// rf.service end to end: the real fpigate program on the sample configuration,
// registered on ubusd-lite over a Unix socket, called with ubus-call; the
// radio is played by the test on a pseudo-terminal.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "rf/frame.h"
#include "tests/support/child_process.h"
#include "tests/radio/radio.h"
#include "tests/support/pty.h"
#include "tests/support/sample_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

using test_support::bin;
using test_support::bytes;
using test_support::run;
using test_support::run_result;
using test_support::wait_until;

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// A long-running program whose output is collected by a thread of its own,
// so that it never blocks on a full pipe.
struct daemon_process {
    std::unique_ptr<test_support::child_process> p;
    std::mutex m;
    std::thread pump;
    std::atomic<bool> stop{false};

    explicit daemon_process(const std::vector<std::string>& argv)
        : p(std::make_unique<test_support::child_process>(argv)) {
        pump = std::thread([this] {
            while (!stop) {
                std::lock_guard lk(m);
                if (p->out_fd < 0 && p->err_fd < 0) break;
                p->pump(20);
            }
        });
    }
    ~daemon_process() { kill(); }
    void kill() {
        stop = true;
        if (pump.joinable()) pump.join();
        p.reset();  // SIGKILL and reap
    }
    std::string out() {
        std::lock_guard lk(m);
        return p->out;
    }
    std::string err() {
        std::lock_guard lk(m);
        return p->err;
    }
    bool wait_for_output(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20)) {
        return wait_until([&] { return out().find(text) != std::string::npos; }, limit);
    }
    pid_t pid() const { return p->pid; }
};

// The radio side of the line: decodes what the gateway writes (RF frames and
// channel commands "24 .. .. 2A") and answers channel commands as told.
struct radio {
    // full: 24 06 <third> 2A; frame_first: an FPI's event frame, then the
    // full answer; three_bytes: 24 06 <third> alone.
    enum class answer { full, frame_first, three_bytes, none };

    test_support::pty pty = test_support::open_pty();
    std::atomic<answer> mode{answer::full};
    std::mutex m;
    bytes written;                    // every byte the gateway wrote
    std::vector<rf::rf_frame> frames;  // the frames among them
    std::vector<bytes> commands;      // the channel commands among them
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex write_m;
    bytes interleaved;  // the frame of answer::frame_first
    std::atomic<int> interleaved_sent{0};

    radio() {
        if (!pty.master) return;
        reader = std::thread([this] { read_loop(); });
    }
    ~radio() {
        stop = true;
        if (reader.joinable()) reader.join();
    }

    void send(const bytes& b) {
        std::lock_guard lk(write_m);
        test_support::write_all(pty.master.get(), b);
    }

    size_t frame_count(uint8_t command) {
        std::lock_guard lk(m);
        size_t n = 0;
        for (const rf::rf_frame& f : frames) n += f.command == command;
        return n;
    }
    std::vector<rf::rf_frame> frames_seen() {
        std::lock_guard lk(m);
        return frames;
    }
    size_t bytes_written() {
        std::lock_guard lk(m);
        return written.size();
    }
    std::vector<bytes> commands_seen() {
        std::lock_guard lk(m);
        return commands;
    }
    size_t command_count() {
        std::lock_guard lk(m);
        return commands.size();
    }

private:
    void read_loop() {
        bytes pending;
        while (!stop) {
            pollfd pfd{pty.master.get(), POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) continue;
            if (!(pfd.revents & POLLIN)) {  // the gateway has not opened its side, or has closed it
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            uint8_t buf[512];
            const ssize_t n = ::read(pty.master.get(), buf, sizeof buf);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            {
                std::lock_guard lk(m);
                written.insert(written.end(), buf, buf + n);
            }
            pending.insert(pending.end(), buf, buf + n);
            split(pending);
        }
    }

    void split(bytes& pending) {
        for (;;) {
            if (pending.empty()) return;
            if (pending[0] == 0x01) {
                if (pending.size() < 2) return;
                const size_t total = size_t(pending[1]) + 3;
                if (pending.size() < total) return;
                rf::rf_frame f;
                if (rf::rf_frame_decode(pending.data(), total, &f) == 0) {
                    std::lock_guard lk(m);
                    frames.push_back(f);
                }
                pending.erase(pending.begin(), pending.begin() + long(total));
            } else if (pending[0] == 0x24) {
                if (pending.size() < 4) return;
                const bytes cmd(pending.begin(), pending.begin() + 4);
                pending.erase(pending.begin(), pending.begin() + 4);
                {
                    std::lock_guard lk(m);
                    commands.push_back(cmd);
                }
                if (mode == answer::frame_first) {
                    send(interleaved);
                    ++interleaved_sent;
                }
                if (mode == answer::full || mode == answer::frame_first)
                    send({0x24, 0x06, cmd[2], 0x2A});
                else if (mode == answer::three_bytes)
                    send({0x24, 0x06, cmd[2]});
            } else {
                pending.erase(pending.begin());
            }
        }
    }
};

using radio_test::frame_bytes;
rf::event_data event() { return radio_test::ordinary_event(); }

bool can_connect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

struct RfService : ::testing::Test {
    test_support::temp_dir tmp{"fpigate-rfs"};
    const std::filesystem::path dir = tmp.path;
    std::string sock;
    std::unique_ptr<radio> rtu;
    std::unique_ptr<daemon_process> broker;
    std::unique_ptr<daemon_process> gateway;

    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        sock = (dir / "ubus.sock").string();
        rtu = std::make_unique<radio>();
        ASSERT_TRUE(rtu->pty.master);
        start_broker();
        write_config();
        gateway = std::make_unique<daemon_process>(
            std::vector<std::string>{bin("fpigate"), "-p", (dir / "config").string()});
        ASSERT_TRUE(gateway->wait_for_output("rtu: Waiting for RF RTU data...\n")) << gateway->out();
        ASSERT_TRUE(wait_until([&] { return registered(); })) << gateway->out() << gateway->err();
    }
    void TearDown() override {
        gateway.reset();
        broker.reset();
        rtu.reset();
    }

    void start_broker() {
        broker = std::make_unique<daemon_process>(std::vector<std::string>{bin("ubusd-lite"), "-s", sock});
        ASSERT_TRUE(wait_until([&] { return can_connect(sock); }));
    }

    // The sample configuration with the radio on the pty, every file of the
    // run in dir and any free server port.
    void write_config() {
        test_support::write_sample_config(dir, {.rtu_port = rtu->pty.path,
                                                .data_dir = dir.string(),
                                                .export_dir = dir.string(),
                                                .gpio_chip = "sim:" + (dir / "gpio").string(),
                                                .ubus_socket = sock});
    }

    run_result ubus_call(const std::vector<std::string>& args) {
        std::vector<std::string> argv{bin("ubus-call"), "-s", sock};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    run_result call(const std::string& method, const std::string& json = "") {
        std::vector<std::string> args{"call", "rf.service", method};
        if (!json.empty()) args.push_back(json);
        return ubus_call(args);
    }
    bool registered() { return ubus_call({"list", "rf.service"}).out == "rf.service\n"; }

    std::string file(const std::string& name) {
        std::ifstream in(dir / name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dcu_line() {
        std::string v = file("gpio/76");
        return v.substr(0, 1);
    }
};

TEST_F(RfService, ListShowsTheSevenMethodsWithTheirArgumentTypes) {
    const run_result r = ubus_call({"-v", "list"});
    EXPECT_EQ(r.code, 0) << r.err;
    const size_t at = r.out.find("'rf.service' @");
    ASSERT_NE(at, std::string::npos) << r.out;
    const size_t body = r.out.find('\n', at) + 1;
    size_t end = r.out.find("\n'", body);
    end = end == std::string::npos ? r.out.size() : end + 1;
    EXPECT_EQ(r.out.substr(body, end - body),
              "\t\"get_rf_data\":{}\n"
              "\t\"export_fpi_data_csv_file\":{}\n"
              "\t\"export_comm_event_csv_file\":{}\n"
              "\t\"export_system_event_csv_file\":{}\n"
              "\t\"write_channel\":{\"set_channel\":\"String\"}\n"
              "\t\"reset_fpi_slave\":{\"slave_id\":\"Integer\"}\n"
              "\t\"dcu_reset_write\":{\"dcu_reset\":\"Integer\"}\n")
        << r.out;
}

TEST_F(RfService, ResetFpiSlaveAcceptsOneToNineOnly) {
    for (const int id : {0, 10}) {
        const run_result r = call("reset_fpi_slave", "{\"slave_id\":" + std::to_string(id) + "}");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "{\n\t\"status\": \"FAILED\",\n\t\"slave_id\": " + std::to_string(id) + "\n}\n");
    }
    const run_result ok = call("reset_fpi_slave", "{\"slave_id\":9}");
    EXPECT_EQ(ok.code, 0) << ok.err;
    EXPECT_EQ(ok.out, "{\n\t\"status\": \"OK\",\n\t\"slave_id\": 9\n}\n");
    EXPECT_TRUE(gateway->wait_for_output("Received FPI reset command for slave_id: 0\n"));
    EXPECT_TRUE(gateway->wait_for_output("Received FPI reset command for slave_id: 10\n"));
    EXPECT_TRUE(gateway->wait_for_output("Received FPI reset command for slave_id: 9\n"));
}

TEST_F(RfService, ARefusedResetIsNotStoredAndAStoredOneGoesOutWithTheFlashModeTelegram) {
    // slave 3 asked for with a refused id around it: only the one for 3 is kept
    EXPECT_EQ(call("reset_fpi_slave", "{\"slave_id\":0}").code, 0);
    EXPECT_EQ(call("reset_fpi_slave", "{\"slave_id\":3}").code, 0);
    EXPECT_EQ(call("reset_fpi_slave", "{\"slave_id\":10}").code, 0);
    rtu->send(frame_bytes(rf::CMD_FLASH_MODE, event(), 3));
    ASSERT_TRUE(wait_until([&] { return rtu->frame_count(rf::CMD_REMOTE_RESET) == 1; })) << gateway->out();
    const auto frames = rtu->frames_seen();
    ASSERT_EQ(frames.size(), 1u);  // a flash-mode telegram is not acknowledged
    EXPECT_EQ(frames[0].command, rf::CMD_REMOTE_RESET);
    EXPECT_EQ(frames[0].destination_id, 3);
    EXPECT_TRUE(gateway->wait_for_output("RESET command sent successfully for slave_id 3\n"));
    // delivered once: the next flash-mode telegram gets nothing; an event
    // frame behind it shows the reader has dealt with both
    rtu->send(frame_bytes(rf::CMD_FLASH_MODE, event(), 3));
    rtu->send(frame_bytes(rf::CMD_EVENT_DATA, event(), 3));
    ASSERT_TRUE(wait_until([&] { return rtu->frame_count(rf::CMD_EVENT_DATA_ACK) == 1; }));
    EXPECT_EQ(rtu->frame_count(rf::CMD_REMOTE_RESET), 1u);
    EXPECT_EQ(rtu->frames_seen().size(), 2u);
}

TEST_F(RfService, DcuResetWithZeroPulsesTheDcuLine) {
    ASSERT_EQ(dcu_line(), "1");
    const run_result r = call("dcu_reset_write", "{\"dcu_reset\":0}");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "{\n\t\"status\": \"OK\",\n\t\"dcu_reset\": 0\n}\n");
    EXPECT_TRUE(wait_until([&] { return dcu_line() == "0"; })) << gateway->out();
    EXPECT_TRUE(wait_until([&] { return dcu_line() == "1"; })) << gateway->out();
    EXPECT_TRUE(gateway->wait_for_output("Received DCU reset command: 0\n"));
    EXPECT_TRUE(gateway->wait_for_output("DCU is ON\n"));
    EXPECT_EQ(count_of(gateway->out(), "Resetting DCU....."), 1u);
}

TEST_F(RfService, AMissingArgumentIsStatusTwoWithoutABody) {
    for (const char* method : {"write_channel", "reset_fpi_slave", "dcu_reset_write"}) {
        for (const std::string& json : {std::string("{}"), std::string("{\"other\":1}")}) {
            const run_result r = call(method, json);
            EXPECT_EQ(r.code, 254) << method << " " << json;  // 256 - 2
            EXPECT_EQ(r.out, "") << method;
            EXPECT_EQ(r.err.rfind("Command failed: ubus call rf.service " + std::string(method) + " " + json +
                                      " (Invalid argument)\n",
                                  0),
                      0u)
                << r.err;
        }
    }
    // a wrong type is a missing argument too
    EXPECT_EQ(call("reset_fpi_slave", "{\"slave_id\":\"3\"}").code, 254);
    EXPECT_EQ(call("write_channel", "{\"set_channel\":2403052}").code, 254);
    // nothing was done: no reset stored, no DCU pulse, nothing on the radio
    rtu->send(frame_bytes(rf::CMD_FLASH_MODE, event(), 3));
    rtu->send(frame_bytes(rf::CMD_EVENT_DATA, event(), 3));
    ASSERT_TRUE(wait_until([&] { return rtu->frame_count(rf::CMD_EVENT_DATA_ACK) == 1; }));
    EXPECT_EQ(rtu->frames_seen().size(), 1u);
    EXPECT_EQ(rtu->command_count(), 0u);
    EXPECT_EQ(gateway->out().find("Resetting DCU"), std::string::npos);
    EXPECT_EQ(gateway->out().find("Received DCU reset command"), std::string::npos);
}

TEST_F(RfService, AnOddNumberOfHexDigitsLeavesThePortUntouched) {
    const run_result r = call("write_channel", "{\"set_channel\":\"2403052\"}");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "{\n\t\"status\": \"FAILED\"\n}\n");
    EXPECT_TRUE(gateway->wait_for_output("\nHex conversion failed\n"));
    // the next command is the first thing the radio sees
    const run_result ok = call("write_channel", "{\"set_channel\":\"2403052A\"}");
    EXPECT_EQ(ok.out, "{\n\t\"status\": \"OK\"\n}\n") << ok.err;
    EXPECT_EQ(rtu->bytes_written(), 4u);
    ASSERT_EQ(rtu->command_count(), 1u);
}

TEST_F(RfService, AChannelCommandAnsweredWithItsAcknowledgementIsOk) {
    const run_result r = call("write_channel", "{\"set_channel\":\"2403052A\"}");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "{\n\t\"status\": \"OK\"\n}\n");
    ASSERT_EQ(rtu->command_count(), 1u);
    EXPECT_EQ(rtu->commands_seen()[0], (bytes{0x24, 0x03, 0x05, 0x2A}));
    EXPECT_TRUE(gateway->wait_for_output("Received ACK\n0x24 0x06 0x05 0x2A \nChannel set successfully\n"))
        << gateway->out();
    EXPECT_TRUE(gateway->wait_for_output("Wrote 4 bytes\n"));
}

TEST_F(RfService, AShortAcknowledgementIsReportedWithWhatCame) {
    rtu->mode = radio::answer::three_bytes;
    const run_result r = call("write_channel", "{\"set_channel\":\"2403052A\"}");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\n\t\"status\": \"FAILED\",\n\t\"rx_len\": 3,\n\t\"received\": \"24 06 05 \",\n"
              "\t\"expected\": \"24 06 2A\"\n}\n");
    EXPECT_TRUE(gateway->wait_for_output("\nChannel set failed\n"));
    // no answer at all
    rtu->mode = radio::answer::none;
    const run_result none = call("write_channel", "{\"set_channel\":\"2403052A\"}");
    EXPECT_EQ(none.out,
              "{\n\t\"status\": \"FAILED\",\n\t\"rx_len\": 0,\n\t\"received\": \"\",\n"
              "\t\"expected\": \"24 06 2A\"\n}\n");
    // the three stray bytes did not upset the reader: a frame still gets its ACK
    rtu->send(frame_bytes(rf::CMD_EVENT_DATA, event(), 2));
    EXPECT_TRUE(wait_until([&] { return rtu->frame_count(rf::CMD_EVENT_DATA_ACK) == 1; })) << gateway->out();
}

TEST_F(RfService, AnEmptyExportIsStatusNineWithTheHeaderOnlyFile) {
    const run_result r = call("export_fpi_data_csv_file");
    EXPECT_EQ(r.code, 247) << r.err;  // 256 - 9
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("(Unknown error)"), std::string::npos) << r.err;
    const std::string csv = file("rf_fpi_data.csv");
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(count_of(csv, "\n"), 1u) << csv;  // the header line alone
    EXPECT_TRUE(gateway->wait_for_output("Received request for " + (dir / "rf_fpi_data.csv").string() +
                                         " download\nExporting " + (dir / "rf_fpi_data.csv").string() + " file\n"));
}

TEST_F(RfService, ANonEmptyExportRepliesItsPath) {
    rtu->send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    ASSERT_TRUE(wait_until([&] { return rtu->frame_count(rf::CMD_EVENT_DATA_ACK) == 1; })) << gateway->out();
    const std::string path = (dir / "rf_fpi_data.csv").string();
    run_result r;
    ASSERT_TRUE(wait_until([&] { return (r = call("export_fpi_data_csv_file")).code == 0; }));
    EXPECT_EQ(r.out, "{\n\t\"path\": \"" + path + "\"\n}\n");
    EXPECT_EQ(count_of(file("rf_fpi_data.csv"), "\n"), 2u) << file("rf_fpi_data.csv");
    // the communication log has nothing yet: still status 9
    EXPECT_EQ(call("export_comm_event_csv_file").code, 247);
    EXPECT_EQ(count_of(file("communication_event_data.csv"), "\n"), 1u);
}

TEST_F(RfService, TheSecondOfTwoReadsIsEmpty) {
    rtu->send(frame_bytes(rf::CMD_EVENT_DATA, event(), 5));
    ASSERT_TRUE(wait_until([&] { return rtu->frame_count(rf::CMD_EVENT_DATA_ACK) == 1; })) << gateway->out();
    const run_result first = call("get_rf_data");
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(first.out.rfind("{\n\t\"json\": \"{\\\"data\\\":[{", 0), 0u) << first.out;
    const run_result second = call("get_rf_data");
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, "{\n\t\"json\": \"{\\\"data\\\":[]}\"\n}\n");
}

// The radio answers every channel command while the FPIs keep talking: event
// frames go out one after the other, each as soon as the previous one has its
// acknowledgement, and every second command's answer comes behind an FPI's
// frame. Every command is answered OK and every frame gets its ACK.
TEST_F(RfService, TheChannelCommandIsAnsweredWhileTheFpisKeepTalking) {
    rtu->interleaved = frame_bytes(rf::CMD_EVENT_DATA, event(), 9);
    std::atomic<bool> talking{true};
    std::atomic<int> sent{0};
    std::thread fpis([&] {
        for (uint8_t slave = 1; talking; slave = uint8_t(slave % 8 + 1)) {
            const size_t acks = rtu->frame_count(rf::CMD_EVENT_DATA_ACK);
            rtu->send(frame_bytes(rf::CMD_EVENT_DATA, event(), slave));
            ++sent;
            wait_until([&] { return !talking || rtu->frame_count(rf::CMD_EVENT_DATA_ACK) > acks; },
                       std::chrono::seconds(10));
        }
    });
    int ok = 0;
    std::string failures;
    for (int i = 0; i < 100; ++i) {
        rtu->mode = i % 2 ? radio::answer::frame_first : radio::answer::full;
        char text[16];
        std::snprintf(text, sizeof text, "2403%02X2A", i % 40);
        const run_result r = call("write_channel", std::string("{\"set_channel\":\"") + text + "\"}");
        if (r.out == "{\n\t\"status\": \"OK\"\n}\n")
            ++ok;
        else if (failures.size() < 2000)
            failures += std::to_string(i) + ": " + r.out + r.err;
    }
    talking = false;
    fpis.join();
    EXPECT_EQ(ok, 100) << failures;
    const size_t expected = size_t(sent + rtu->interleaved_sent);
    EXPECT_TRUE(wait_until([&] { return rtu->frame_count(rf::CMD_EVENT_DATA_ACK) == expected; },
                           std::chrono::seconds(60)))
        << rtu->frame_count(rf::CMD_EVENT_DATA_ACK) << " ACKs for " << expected << " frames";
    EXPECT_EQ(rtu->command_count(), 100u);
    EXPECT_GT(sent.load(), 0);
    EXPECT_EQ(count_of(gateway->out(), "Frame error"), 0u);
}

TEST_F(RfService, TheObjectComesBackAfterABrokerRestartAndTheOutstationServesMeanwhile) {
    std::smatch m;
    std::string out;
    ASSERT_TRUE(wait_until([&] {
        out = gateway->out();
        return std::regex_search(out, m, std::regex("listening on port ([0-9]+)\n"));
    }));
    const std::string port = m[1];
    broker->kill();
    ASSERT_FALSE(can_connect(sock) && registered());
    // the masters are served while there is no broker
    run_result gi;
    ASSERT_TRUE(wait_until([&] {
        gi = run({bin("iec104-client"), "-p", port, "127.0.0.1", "gi"});
        return gi.code == 0 && gi.out.find("ioa=1008") != std::string::npos;
    })) << gi.out << gi.err;
    EXPECT_NE(gi.out.find("C_IC_NA_1 cot=10"), std::string::npos) << gi.out;
    EXPECT_EQ(ubus_call({"list"}).code, 255);
    EXPECT_TRUE(wait_until([&] { return gateway->err().find("Lost the ubus connection") != std::string::npos; }));

    start_broker();
    EXPECT_TRUE(wait_until([&] { return registered(); }, std::chrono::seconds(5))) << gateway->err();
    const run_result r = call("reset_fpi_slave", "{\"slave_id\":9}");
    EXPECT_EQ(r.out, "{\n\t\"status\": \"OK\",\n\t\"slave_id\": 9\n}\n") << r.err;
    // and once more
    broker->kill();
    start_broker();
    EXPECT_TRUE(wait_until([&] { return registered(); }, std::chrono::seconds(5))) << gateway->err();
    EXPECT_EQ(call("write_channel", "{\"set_channel\":\"2403052A\"}").out, "{\n\t\"status\": \"OK\"\n}\n");
    // the gateway is still the one started at the beginning
    EXPECT_EQ(::kill(gateway->pid(), 0), 0);
    gi = run({bin("iec104-client"), "-p", port, "127.0.0.1", "gi"});
    EXPECT_EQ(gi.code, 0) << gi.err;
}

}  // namespace
