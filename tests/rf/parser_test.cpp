#include <gtest/gtest.h>

#include "tests/support/pty.h"
#include "rf/parser.h"

using namespace rf;
using test_support::bytes;
using test_support::event_frame;

namespace {

uint64_t fake_now = 0;
uint64_t fake_clock() { return fake_now; }

// The 16-byte CMD_FI_RESET frame (reset type 0x10) from slave 3 to RTU 10.
const bytes fi_reset_frame = {0x01, 0x0D, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83,
                              0x8A, 0x61, 0x90, 0x89, 0x87, 0x85, 0x82, 0x04};

struct RfParser : testing::Test {
    rf_parser p;
    void SetUp() override {
        fake_now = 5000;
        p.now_ms = fake_clock;
        rf_parser_reset(p);
    }
    int feed(const bytes& b, size_t* consumed = nullptr) { return rf_parser_feed(p, b.data(), b.size(), consumed); }
    bytes frame(int n) const { return bytes(p.buffer.begin(), p.buffer.begin() + n); }

    // What the reading loop does with one read: feed, take a frame, feed the rest.
    std::vector<bytes> frames_of(const bytes& read, int* errors = nullptr) {
        std::vector<bytes> out;
        size_t at = 0;
        while (at < read.size()) {
            size_t used = 0;
            int rc = rf_parser_feed(p, read.data() + at, read.size() - at, &used);
            at += used;
            if (rc > 0) out.push_back(frame(rc));
            if (rc < 0 && errors) ++*errors;
            if (rc == 0) break;
        }
        return out;
    }
};

bytes concat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(RfParser, WholeFrameInOneRead) {
    size_t used = 0;
    EXPECT_EQ(feed(event_frame, &used), 27);
    EXPECT_EQ(used, 27u);
    EXPECT_EQ(frame(27), event_frame);
    EXPECT_EQ(p.state, rf_parser_state::WAIT_START);
}

TEST_F(RfParser, FrameSplitAtEveryPoint) {
    for (size_t split = 1; split < event_frame.size(); ++split) {
        rf_parser_reset(p);
        bytes first(event_frame.begin(), event_frame.begin() + split);
        bytes second(event_frame.begin() + split, event_frame.end());
        size_t used = 0;
        EXPECT_EQ(feed(first, &used), 0) << split;
        EXPECT_EQ(used, split);
        fake_now += 40;
        EXPECT_EQ(feed(second), 27) << split;
        EXPECT_EQ(frame(27), event_frame) << split;
    }
}

TEST_F(RfParser, LeadingGarbageIsSkipped) {
    bytes garbage{0x00, 0xFF, 0x04, 0x18, 0x80};
    size_t used = 0;
    EXPECT_EQ(feed(concat(garbage, event_frame), &used), 27);
    EXPECT_EQ(used, garbage.size() + 27);
    EXPECT_EQ(frame(27), event_frame);
}

TEST_F(RfParser, LengthByteLimits) {
    size_t used = 0;
    EXPECT_EQ(feed({0x01, 0xFE, 0x81}, &used), -1);  // 257 bytes cannot be a frame
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(p.state, rf_parser_state::WAIT_START);
    EXPECT_EQ(p.fill, 0u);

    bytes largest(256, 0x80);  // length byte 253: the largest frame
    largest[0] = 0x01;
    largest[1] = 0xFD;
    largest.back() = 0x04;
    EXPECT_EQ(feed(largest), 256);
}

TEST_F(RfParser, WrongEndByteFails) {
    bytes bad = event_frame;
    bad.back() = 0x05;
    EXPECT_EQ(feed(bad), -1);
    EXPECT_EQ(p.state, rf_parser_state::WAIT_START);
    EXPECT_EQ(feed(event_frame), 27);
}

TEST_F(RfParser, StaleStartFailsAndTheNewFrameStillComesOut) {
    EXPECT_EQ(feed({0x01}), 0);
    fake_now += 2000;
    size_t used = 99;
    EXPECT_EQ(feed(event_frame, &used), -1);
    EXPECT_EQ(used, 0u);  // the byte that found the frame stale is left for the next feed
    EXPECT_EQ(p.state, rf_parser_state::WAIT_START);
    EXPECT_EQ(feed(event_frame), 27);

    int errors = 0;
    EXPECT_EQ(feed({0x01, 0x18, 0x81}), 0);
    fake_now += 1001;
    EXPECT_EQ(frames_of(event_frame, &errors), std::vector<bytes>{event_frame});
    EXPECT_EQ(errors, 1);
}

TEST_F(RfParser, TimeLimitIsMoreThan1000ms) {
    EXPECT_EQ(feed({0x01, 0x18}), 0);
    fake_now += 1000;
    EXPECT_EQ(feed(bytes(event_frame.begin() + 2, event_frame.end())), 27);

    // The start time is kept modulo 2^32 and still compares across the wrap.
    fake_now = 0xFFFFFF00u;
    EXPECT_EQ(feed({0x01, 0x18}), 0);
    fake_now = 0x100000100ull;  // 512 ms later
    EXPECT_EQ(feed(bytes(event_frame.begin() + 2, event_frame.end())), 27);
    EXPECT_EQ(feed({0x01}), 0);
    fake_now += 1001;
    EXPECT_EQ(feed({0x18}), -1);
}

TEST_F(RfParser, TwoFramesInOneRead) {
    bytes two = concat(event_frame, fi_reset_frame);
    size_t used = 0;
    EXPECT_EQ(feed(two, &used), 27);
    EXPECT_EQ(used, 27u);
    EXPECT_EQ(frames_of(two), (std::vector<bytes>{event_frame, fi_reset_frame}));

    // A frame, then the start of the next one that ends in the following read.
    bytes head(fi_reset_frame.begin(), fi_reset_frame.begin() + 6);
    EXPECT_EQ(frames_of(concat(event_frame, head)), std::vector<bytes>{event_frame});
    EXPECT_EQ(feed(bytes(fi_reset_frame.begin() + 6, fi_reset_frame.end())), 16);
}

TEST_F(RfParser, EmptyFeed) {
    size_t used = 7;
    EXPECT_EQ(rf_parser_feed(p, nullptr, 0, &used), 0);
    EXPECT_EQ(used, 0u);
}

TEST_F(RfParser, FiResetLengthRepair) {
    // The length byte arrived as 0x0A: the parser expects 13 bytes and fails.
    bytes read = fi_reset_frame;
    read[1] = 0x0A;
    EXPECT_EQ(feed(read), -1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(fi_reset_length_repair(read.data(), read.size()), 1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Repairing FI reset frame length byte from 0x0A to 0x0D\n");
    EXPECT_EQ(read, fi_reset_frame);
    rf_parser_reset(p);
    EXPECT_EQ(feed(read), 16);

    for (uint8_t type : {0x88, 0x90, 0xA0, 0xC0}) {
        bytes r = fi_reset_frame;
        r[10] = type;
        testing::internal::CaptureStdout();
        EXPECT_EQ(fi_reset_length_repair(r.data(), r.size()), 1) << int(type);
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(RfParser, FiResetRepairLeavesOtherReadsAlone) {
    auto with = [](size_t at, uint8_t value) {
        bytes b = fi_reset_frame;
        b[1] = 0x0A;
        b[at] = value;
        return b;
    };
    bytes longer = fi_reset_frame;
    longer.push_back(0x00);
    struct { const char* what; bytes b; } cases[] = {
        {"17 bytes", longer},
        {"15 bytes", bytes(fi_reset_frame.begin(), fi_reset_frame.end() - 1)},
        {"start byte", with(0, 0x02)},
        {"end byte", with(15, 0x05)},
        {"command", with(9, 0x65)},
        {"reset type 0x01", with(10, 0x81)},
        {"reset type 0x18", with(10, 0x98)},
    };
    for (auto& c : cases) {
        bytes before = c.b;
        EXPECT_EQ(fi_reset_length_repair(c.b.data(), c.b.size()), 0) << c.what;
        EXPECT_EQ(c.b, before) << c.what;
    }
    EXPECT_EQ(fi_reset_length_repair(nullptr, 16), 0);
}
