#include <gtest/gtest.h>
#include <dirent.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/pty.h"
#include "tests/support/wait.h"
#include "rf/parser.h"
#include "rf/radio.h"
#include "rf/uart.h"

using namespace rf;
using namespace std::chrono_literals;
using test_support::bytes;

namespace {

int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

struct RfUart : testing::Test {
    test_support::pty pty = test_support::open_pty();
    core::unique_fd port;
    radio r;
    void SetUp() override {
        ASSERT_TRUE(pty.master) << "no pseudo-terminal";
        port = uart_open(pty.path.c_str(), 9600);
        ASSERT_TRUE(port);
    }
    int read_port(uint8_t* buf, size_t cap, int timeout_ms) { return uart_read(r, port.get(), buf, cap, timeout_ms); }
};

}  // namespace

TEST(RfUartOpen, AcceptedSpeeds) {
    struct { int baud; speed_t speed; } rows[] = {
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    auto pty = test_support::open_pty();
    ASSERT_TRUE(pty.master);
    for (auto r : rows) {
        core::unique_fd fd = uart_open(pty.path.c_str(), r.baud);
        ASSERT_TRUE(fd) << r.baud;
        EXPECT_GT(fd.get(), 2);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd.get(), &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), r.speed) << r.baud;
        EXPECT_EQ(cfgetispeed(&tio), r.speed) << r.baud;
    }
}

TEST(RfUartOpen, RefusedSpeedsCloseThePort) {
    auto pty = test_support::open_pty();
    ASSERT_TRUE(pty.master);
    for (int baud : {4800, 230400, 0, -9600, 9601}) {
        int before = open_descriptors();
        testing::internal::CaptureStderr();
        core::unique_fd fd = uart_open(pty.path.c_str(), baud);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "uart_open: Unsupported baud rate\n") << baud;
        EXPECT_FALSE(fd) << baud;
        EXPECT_EQ(fd.get(), -1);
        EXPECT_EQ(open_descriptors(), before) << "port left open at " << baud;
    }
}

TEST(RfUartOpen, MissingDeviceOrTerminal) {
    testing::internal::CaptureStderr();
    core::unique_fd fd = uart_open("/nonexistent/ttyRF0", 9600);
    EXPECT_FALSE(fd);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "uart_open: Error opening port: No such file or directory\n");

    testing::internal::CaptureStderr();
    fd = uart_open("/dev/null", 9600);
    EXPECT_FALSE(fd);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("uart_open: tcgetattr error: ", 0), 0u) << err;
}

TEST(RfUartOpen, PortNeverLandsOnAStandardStream) {
    auto pty = test_support::open_pty();
    ASSERT_TRUE(pty.master);
    int saved = dup(STDIN_FILENO);
    close(STDIN_FILENO);  // a daemon may run with standard input closed
    core::unique_fd fd = uart_open(pty.path.c_str(), 9600);
    dup2(saved, STDIN_FILENO);
    close(saved);
    EXPECT_TRUE(fd);
    EXPECT_GT(fd.get(), 2);
}

TEST_F(RfUart, LineIsRawEightBit) {
    termios tio{};
    ASSERT_EQ(tcgetattr(port.get(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(tio.c_cflag & (CRTSCTS | PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);

    // Every byte value crosses unchanged in both directions (0x0D stays 0x0D).
    bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
    test_support::write_all(pty.master.get(), all);
    bytes got;
    for (int tries = 0; got.size() < all.size() && tries < 100; ++tries) {
        uint8_t buf[512];
        int n = read_port(buf, sizeof buf, 100);
        ASSERT_GE(n, 0);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(uart_write(r, port.get(), all.data(), all.size()), 256);
    EXPECT_EQ(test_support::read_bytes(pty.master.get(), 256), all);
}

TEST_F(RfUart, SilentLineTimesOutAndFreesTheLock) {
    uint8_t buf[512];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_port(buf, sizeof buf, 50), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    ASSERT_TRUE(r.uart_lock.try_lock());
    r.uart_lock.unlock();
}

TEST_F(RfUart, ZeroTimeoutPolls) {
    uint8_t buf[16];
    EXPECT_EQ(read_port(buf, sizeof buf, 0), 0);
    test_support::write_all(pty.master.get(), {0x01, 0x02, 0x03});
    int n = 0;
    // the bytes reach the port's queue soon after
    test_support::wait_until([&] { return (n = read_port(buf, sizeof buf, 0)) != 0; }, 5s);
    EXPECT_EQ(n, 3);
}

TEST_F(RfUart, ReadTakesAtMostCapacity) {
    test_support::write_all(pty.master.get(), {1, 2, 3, 4, 5});
    uint8_t buf[8] = {};
    EXPECT_EQ(read_port(buf, 2, 1000), 2);
    EXPECT_EQ(buf[2], 0);
    EXPECT_EQ(read_port(buf, sizeof buf, 1000), 3);
    EXPECT_EQ(buf[0], 3);
}

// A read that only waits for bytes leaves the port to a writer: the radio's
// channel command must not wait for the reader's time-out.
TEST_F(RfUart, WriterGetsThePortWhileAReadWaits) {
    std::atomic<bool> reading{false};
    std::atomic<int> read_result{-2};
    std::thread reader([&] {
        uint8_t buf[16];
        reading = true;
        read_result = read_port(buf, sizeof buf, 10000);
    });
    test_support::wait_until([&] { return reading.load(); });
    std::atomic<bool> written{false};
    std::thread writer([&] {
        const uint8_t ack[] = {0x24, 0x06, 0x05, 0x2A};
        EXPECT_EQ(uart_write(r, port.get(), ack, sizeof ack), 4);
        written = true;
    });
    writer.join();  // long before the reader's 10 s are up
    EXPECT_TRUE(written);
    EXPECT_EQ(read_result, -2) << "the reader is still waiting";
    EXPECT_EQ(test_support::read_bytes(pty.master.get(), 4), (bytes{0x24, 0x06, 0x05, 0x2A}));
    test_support::write_all(pty.master.get(), {0x55});  // ends the reader's wait
    reader.join();
    EXPECT_EQ(read_result, 1);
}

TEST_F(RfUart, FrameSplitAcrossTwoReads) {
    const bytes& frame = test_support::event_frame;
    rf_parser parser;
    parser.now_ms = [] { return uint64_t(1000); };  // however long the reads take, the frame is never stale
    uint8_t buf[512];

    test_support::write_all(pty.master.get(), bytes(frame.begin(), frame.begin() + 10));
    int n = read_port(buf, sizeof buf, 1000);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(rf_parser_feed(parser, buf, size_t(n)), 0);

    test_support::write_all(pty.master.get(), bytes(frame.begin() + 10, frame.end()));
    n = read_port(buf, sizeof buf, 1000);
    ASSERT_EQ(n, 17);
    ASSERT_EQ(rf_parser_feed(parser, buf, size_t(n)), 27);
    EXPECT_EQ(bytes(parser.buffer.begin(), parser.buffer.begin() + 27), frame);
}

TEST(RfUartErrors, WriteAndReadErrorsArePrinted) {
    radio r;
    core::unique_fd read_only(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const uint8_t b[] = {1};
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_write(r, read_only.get(), b, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "uart_write: write error: Bad file descriptor\n");

    core::unique_fd write_only(open("/dev/null", O_WRONLY | O_CLOEXEC));
    uint8_t buf[4];
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_read(r, write_only.get(), buf, sizeof buf, 50), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "uart_read: read error: Bad file descriptor\n");

    testing::internal::CaptureStderr();
    int closed = write_only.release();  // after the capture, which opens a file of its own
    close(closed);
    EXPECT_EQ(uart_read(r, closed, buf, sizeof buf, 50), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "uart_read: select error: Bad file descriptor\n");
    ASSERT_TRUE(r.uart_lock.try_lock());
    r.uart_lock.unlock();
}

// A channel command's answer wait: what the radio sent besides the answer
// (whole frames in front of it, bytes behind it, an answer that is not the
// expected one, a frame begun but not ended) reaches the reader's next reads
// in stream order.
TEST_F(RfUart, ExchangeHandsEverythingButTheAnswerToTheReader) {
    const bytes& frame = test_support::event_frame;
    const bytes ack = {0x24, 0x06, 0x05, 0x2A};
    const bytes not_a_frame = {0x01, 0x02, 0xAA, 0xBB, 0xCC};  // its third byte after the length is no end byte
    auto cat = [](std::initializer_list<bytes> parts) {
        bytes out;
        for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct row {
        const char* name;
        bytes radio;  // what the radio sends
        int timeout_ms;
        int rx;             // the count read into the answer
        bytes answer;       // the answer's bytes
        bytes for_reader;  // what the reader reads afterwards
    } rows[] = {
        {"answer alone", ack, 5000, 4, ack, {}},
        {"frame first", cat({frame, ack}), 5000, 4, ack, frame},
        {"bytes behind", cat({ack, {0x55, 0x66}}), 5000, 4, ack, {0x55, 0x66}},
        {"frames around", cat({frame, ack, frame}), 5000, 4, ack, cat({frame, frame})},
        {"start byte of no frame", cat({not_a_frame, ack}), 5000, 4, {0x01, 0x02, 0xAA, 0xBB},
         cat({not_a_frame, ack})},
        {"wrong answer", {0x24, 0x06, 0x07, 0x2A}, 5000, 4, {0x24, 0x06, 0x07, 0x2A}, {0x24, 0x06, 0x07, 0x2A}},
        {"short answer", {0x24, 0x06, 0x05}, 300, 3, {0x24, 0x06, 0x05}, {}},
        {"frame not ended", {0x01, 0x18, 0x81, 0x82}, 300, 0, {}, {0x01, 0x18, 0x81, 0x82}},
    };
    const uint8_t command[] = {0x24, 0x03, 0x05, 0x2A};
    for (const row& c : rows) {
        test_support::write_all(pty.master.get(), c.radio);
        uint8_t answer[512] = {};
        int written = 0;
        const int rx = uart_exchange(r, port.get(), command, sizeof command, written, ack, answer, c.timeout_ms);
        EXPECT_EQ(written, 4) << c.name;
        EXPECT_EQ(test_support::read_bytes(pty.master.get(), 4), bytes(command, command + 4)) << c.name;
        ASSERT_EQ(rx, c.rx) << c.name;
        EXPECT_EQ(bytes(answer, answer + rx), c.answer) << c.name;
        bytes read;
        uint8_t buf[512];
        for (int n; (n = read_port(buf, sizeof buf, 100)) > 0;) read.insert(read.end(), buf, buf + n);
        EXPECT_EQ(read, c.for_reader) << c.name;
    }
}
