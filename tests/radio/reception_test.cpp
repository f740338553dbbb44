// Frames on the serial line: framing, address checks and what is recorded.
#include <gtest/gtest.h>

#include "tests/radio/radio.h"

namespace {

using radio_test::bytes;
using radio_test::frame_bytes;
using radio_test::radio_gateway;

rf::event_data sample_event() {
    rf::event_data e;
    e.i_status = 20;
    e.i_mean = 123;
    e.i_min = 100;
    e.i_max = 250;
    e.v_status = 0;
    e.v_inst = 2305;
    e.battery_v = 31;
    e.rssi = 80;
    e.event_time = {9, 7, 5, 2};
    return e;
}

TEST(RadioReception, AnEventIsRecordedAndAcknowledged) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    const size_t before = gw.recent_count();
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 3));
    const auto ack = gw.next_downlink();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->command, rf::CMD_EVENT_DATA_ACK);
    EXPECT_EQ(ack->source_id, 10);
    EXPECT_EQ(ack->destination_id, 3);
    ASSERT_TRUE(gw.recorded(before));
    EXPECT_EQ(gw.recent().front().error_msg, "OK");
    EXPECT_EQ(gw.recent().front().slave_id, 3);
}

// The last entry recorded after `before`, once there is one.
logs::rf_data_entry next_record(radio_gateway& gw, size_t before) {
    EXPECT_TRUE(gw.recorded(before));
    return gw.recent().front();
}

TEST(RadioReception, FramesThatAreNotForUsAreRecordedWithTheirReason) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    const rf::group_id other{9, 9, 9, 9, 9};
    struct refusal_case {
        const char* name;
        bytes frame;
        const char* reason;
        int cmd;
    };
    const refusal_case cases[] = {
        {"another group, to RTU 21", frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 3, 21, other),
         "Group ID is not matching", rf::CMD_EVENT_DATA},
        {"another group, to us", frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 3, 10, other),
         "Group ID is not matching", rf::CMD_EVENT_DATA},
        {"our group, another RTU", frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 3, 11),
         "RTU ID is not matching", rf::CMD_EVENT_DATA},
        {"an unknown command", frame_bytes(0x42, rf::ack_data{{26, 3, 9, 7, 5, 2}}, 3),
         "Unknown Command Type 0x42", 0x42},
        {"a length byte above 253", {0x01, 0xFE, 0x81}, "Frame error (bad frame/timeout). Restarting sync.", 0},
        {"no end byte", {0x01, 0x0A, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83, 0x8A, 0x75, 0x80, 0x80, 0x80},
         "Frame error (bad frame/timeout). Restarting sync.", 0},
    };
    for (const refusal_case& c : cases) {
        const size_t before = gw.recent_count();
        gw.send(c.frame);
        const logs::rf_data_entry e = next_record(gw, before);
        EXPECT_EQ(e.error_msg, c.reason) << c.name;
        EXPECT_EQ(e.cmd_type, c.cmd) << c.name;
        EXPECT_EQ(e.slave_id, c.cmd ? 3 : 0) << c.name;
    }
    // nothing was answered; a frame to RTU 21 of our group is, from 21
    gw.send(bytes{0x55, 0xAA});  // bytes before a start byte: skipped silently
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 3, 21));
    const auto ack = gw.next_downlink();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->command, rf::CMD_EVENT_DATA_ACK);
    EXPECT_EQ(ack->source_id, 21);
    EXPECT_EQ(gw.recent().front().error_msg, "OK");
    EXPECT_EQ(gw.recent_count(), std::size(cases) + 1);
}

TEST(RadioReception, TwoFramesInOneWriteAreBothProcessed) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    bytes two = frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 3);
    const bytes second = frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 4);
    two.insert(two.end(), second.begin(), second.end());
    testing::internal::CaptureStdout();
    gw.send(two);
    const auto first_ack = gw.next_downlink();
    const auto second_ack = gw.next_downlink();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(first_ack && second_ack);
    // both came in one read: its frame line holds the 54 bytes
    std::string line = "Frame: ";
    for (uint8_t b : two) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", b);
        line += hex;
    }
    EXPECT_NE(out.find(line + "\n"), std::string::npos) << out;
    EXPECT_EQ(first_ack->destination_id, 3);
    EXPECT_EQ(second_ack->destination_id, 4);
}

TEST(RadioReception, AFrameSplitOverTwoReadsIsAssembled) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    const bytes f = frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 3);
    const uint64_t read_before = gw.bytes_read();
    gw.send(bytes(f.begin(), f.begin() + 10));
    ASSERT_TRUE(gw.reader_has_read(read_before + 10));  // the reader holds the first part
    testing::internal::CaptureStdout();
    gw.send(bytes(f.begin() + 10, f.end()));
    const auto ack = gw.next_downlink();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->destination_id, 3);
    // the frame line shows the bytes of the last read only
    std::string second_read = "Frame: ";
    for (size_t i = 10; i < f.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", f[i]);
        second_read += hex;
    }
    EXPECT_NE(out.find(second_read + "\n"), std::string::npos) << out;
}

// A start byte and then silence for more than a second: the next byte finds
// the partial frame stale. The frame that byte starts is still read.
TEST(RadioReception, AStaleStartByteFailsAndTheNextFrameIsRead) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    const size_t before = gw.recent_count();
    const uint64_t read_before = gw.bytes_read();
    gw.send(bytes{0x01});
    ASSERT_TRUE(gw.reader_has_read(read_before + 1));
    radio_test::fake_monotonic_clock::advance(2000);
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, sample_event(), 5));
    const auto ack = gw.next_downlink();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->destination_id, 5);
    ASSERT_EQ(gw.recent_count(), before + 2);
    EXPECT_EQ(gw.recent()[1].error_msg, "Frame error (bad frame/timeout). Restarting sync.");
    EXPECT_EQ(gw.recent()[0].error_msg, "OK");
}

TEST(RadioReception, AnFiResetWithADamagedLengthByteIsRepaired) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    rf::fi_reset_data r;
    r.reset_type = 0x10;
    r.event_time = {9, 7, 5, 2};
    for (uint8_t damaged : {uint8_t(0x0A), uint8_t(0x0D)}) {
        bytes f = frame_bytes(rf::CMD_FI_RESET, r, 7);
        ASSERT_EQ(f.size(), 16u);
        f[1] = damaged;
        const size_t before = gw.recent_count();
        testing::internal::CaptureStdout();
        gw.send(f);
        const logs::rf_data_entry e = next_record(gw, before);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(e.error_msg, "OK") << int(damaged);
        EXPECT_EQ(e.measured.reset, 16);
        if (damaged == 0x0A) {
            EXPECT_NE(out.find("Repairing FI reset frame length byte from 0x0A to 0x0D\n"), std::string::npos) << out;
            EXPECT_NE(out.find("Retrying frame sync after FI reset frame repair...\n"), std::string::npos);
        }
    }
}

}  // namespace
