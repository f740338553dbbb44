#include <gtest/gtest.h>

#include <string>

#include "tests/support/pty.h"
#include "rf/codings.h"
#include "rf/frame.h"
#include "rf/parser.h"

using namespace rf;
using test_support::bytes;
using test_support::event_frame;

namespace {

const group_id group{1, 2, 3, 4, 5};

bytes serialize(const rf_frame& f) {
    uint8_t out[max_frame_size];
    size_t n = 0;
    EXPECT_EQ(rf_frame_serialize(&f, out, &n), 0);
    return bytes(out, out + n);
}

bytes build(uint8_t code, const rf_record& record, uint8_t src = 7, uint8_t dst = 3) {
    rf_frame f;
    EXPECT_EQ(rf_frame_build(&f, group, src, dst, code, record), 0);
    return serialize(f);
}

// A record of the command's layout with every field distinct, seeded so that
// two commands of one layout carry different values.
rf_record sample_record(uint8_t code, int seed) {
    auto v8 = [&](int i) { return uint8_t(seed * 7 + i * 13); };
    auto v16 = [&](int i) { return uint16_t((seed * 131 + i * 977) % 25600); };
    wakeup_data w;
    for (size_t i = 0; i < w.location.size(); ++i) w.location[i] = char(' ' + (seed + i) % 90);
    w.di_dt_level = v8(1);
    w.imax_level = v16(2);
    w.auto_reset = v8(3);
    w.flash_time = v8(4);
    w.transient_on = v8(5);
    w.validation = v8(6);
    w.mv = v16(7);
    w.date = {v8(8), v8(9), v8(10), v8(11), v8(12), v8(13)};
    w.frequency = v8(14);
    w.period = v8(15);
    w.i_status = v8(16);
    w.i_mean = v16(17);
    w.i_min = v16(18);
    w.i_max = v16(19);
    w.v_status = v8(20);
    w.v_inst = v16(21);
    w.battery_v = v8(22);
    w.rssi = v8(23);
    w.event_time = {v8(24), v8(25), v8(26), v8(27)};
    event_data e{w.i_status, w.i_mean, w.i_min, w.i_max, w.v_status, w.v_inst, w.battery_v, w.rssi, w.event_time};
    infoset_data s{w.location,     w.di_dt_level, w.imax_level, w.auto_reset, w.flash_time, w.transient_on,
                   w.validation,   w.mv,          w.date,       w.frequency,  w.period};
    switch (code) {
    case CMD_WAKEUP_NOTSET: case CMD_JOIN_DATA: case CMD_WAKEUP_SET: return w;
    case CMD_EVENT_DATA: case CMD_FLASH_MODE: return e;
    case CMD_INFO_SET: return s;
    case CMD_INFO_SET_ACK: case CMD_REMOTE_RESET: return event_time_data{w.event_time};
    case CMD_FI_RESET: return fi_reset_data{w.auto_reset, w.event_time};
    default: return ack_data{w.date};
    }
}

std::string printed(const rf_frame& f) {
    testing::internal::CaptureStdout();
    rf_frame_print(f);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(RfCodec, ByteCodings) {
    struct { uint16_t value; uint8_t hi, lo; } pairs[] = {
        {1234, 0x8C, 0xA2}, {0, 0x80, 0x80}, {9999, 0xE3, 0xE3}, {25599, 0x7F, 0xE3}, {2305, 0x97, 0x85}};
    for (auto c : pairs) {
        uint8_t out[2];
        base100_encode(c.value, out);
        EXPECT_EQ(out[0], c.hi) << c.value;
        EXPECT_EQ(out[1], c.lo) << c.value;
        EXPECT_EQ(base100_decode(out), c.value);
    }
    uint8_t wrapped[2];
    base100_encode(25600, wrapped);  // 256 hundreds wrap to 0
    EXPECT_EQ(base100_decode(wrapped), 0);
    EXPECT_EQ(didt_encode(10), 0x5A);
    EXPECT_EQ(didt_decode(0x5A), 10);
    EXPECT_EQ(offset_encode(21), 0x95);
    EXPECT_EQ(offset_decode(0x05), 0x85);  // any byte decodes to some value
}

TEST(RfCodec, RemoteResetFrame) {
    EXPECT_EQ(build(CMD_REMOTE_RESET, event_time_data{{9, 7, 5, 2}}),
              (bytes{0x01, 0x0C, 0x81, 0x82, 0x83, 0x84, 0x85, 0x87, 0x83, 0x4F, 0x89, 0x87, 0x85, 0x82, 0x04}));
}

TEST(RfCodec, EventFrameDecodes) {
    rf_frame f;
    ASSERT_EQ(rf_frame_decode(event_frame.data(), event_frame.size(), &f), 0);
    EXPECT_EQ(f.command, CMD_EVENT_DATA);
    EXPECT_EQ(f.source_id, 3);
    EXPECT_EQ(f.destination_id, 10);
    EXPECT_EQ(f.group, group);
    EXPECT_EQ(f.length, 0x18);
    EXPECT_EQ(f.payload_len, 16);
    event_data e;
    ASSERT_EQ(rf_payload_decode_as(f, e), 0);
    EXPECT_EQ(e, (event_data{20, 123, 100, 250, 1, 2305, 36, 80, {9, 7, 5, 2}}));
    EXPECT_EQ(serialize(f), event_frame);  // the decoded record serialises back to the same bytes
}

TEST(RfCodec, FrameLengthPerCommand) {
    struct { uint8_t code; size_t total; uint8_t length_byte; } rows[] = {
        {CMD_WAKEUP_NOTSET, 64, 0x3D}, {CMD_EVENT_DATA, 27, 0x18},     {CMD_JOIN_DATA, 64, 0x3D},
        {CMD_FLASH_MODE, 27, 0x18},    {CMD_WAKEUP_NOTSET_ACK, 17, 0x0E}, {CMD_JOIN_DATA_ACK, 17, 0x0E},
        {CMD_EVENT_DATA_ACK, 17, 0x0E}, {CMD_WAKEUP_SET, 64, 0x3D},    {CMD_WAKEUP_SET_ACK, 17, 0x0E},
        {CMD_INFO_SET, 48, 0x2D},      {CMD_INFO_SET_ACK, 15, 0x0C},   {CMD_REMOTE_RESET, 15, 0x0C},
        {CMD_FI_RESET, 16, 0x0D},
    };
    ASSERT_EQ(std::size(rows), rf_command_table.size());
    for (size_t i = 0; i < rf_command_table.size(); ++i) {
        EXPECT_EQ(rf_command_table[i].code, rows[i].code) << "lookup order";
        bytes b = build(rows[i].code, sample_record(rows[i].code, 1));
        EXPECT_EQ(b.size(), rows[i].total) << rf_command_table[i].name;
        EXPECT_EQ(b[1], rows[i].length_byte) << rf_command_table[i].name;
        EXPECT_EQ(b.back(), 0x04);
    }
}

TEST(RfCodec, EveryCommandRoundTrips) {
    for (const rf_command& row : rf_command_table) {
        for (int seed : {0, 1, 2}) {
            rf_record sent = sample_record(row.code, seed);
            bytes b = build(row.code, sent, 4, 21);
            rf_frame f;
            ASSERT_EQ(rf_frame_decode(b.data(), b.size(), &f), 0) << row.name;
            EXPECT_EQ(f.command, row.code);
            EXPECT_EQ(f.source_id, 4);
            EXPECT_EQ(f.destination_id, 21);
            EXPECT_EQ(f.group, group);
            rf_record got;
            ASSERT_EQ(rf_payload_decode(f, got), 0) << row.name;
            EXPECT_EQ(got, sent) << row.name << " seed " << seed;
        }
    }
}

TEST(RfCodec, WakeupSettingsAtTheirOffsets) {
    wakeup_data w;
    w.di_dt_level = 10;
    w.imax_level = 1234;
    w.period = 15;
    w.v_inst = 9999;
    w.event_time = {1, 2, 3, 4};
    bytes b = build(CMD_WAKEUP_SET, w);
    EXPECT_EQ(b[10 + 20], 0x5A);
    EXPECT_EQ(b[10 + 21], 0x8C);
    EXPECT_EQ(b[10 + 22], 0xA2);
    EXPECT_EQ(b[10 + 36], 0x8F);
    EXPECT_EQ(b[10 + 45], 0xE3);
    EXPECT_EQ(b[10 + 49], 0x81);
    EXPECT_EQ(b[10 + 52], 0x84);
}

TEST(RfCodec, CodeOutsideTableBuildsEmptyFrame) {
    EXPECT_EQ(build(0x30, ack_data{}), (bytes{0x01, 0x08, 0x81, 0x82, 0x83, 0x84, 0x85, 0x87, 0x83, 0x30, 0x04}));
}

TEST(RfCodec, BuildRefusesMissingFrameOrWrongRecord) {
    EXPECT_EQ(rf_frame_build(nullptr, group, 1, 2, CMD_REMOTE_RESET, event_time_data{}), -1);
    rf_frame f;
    EXPECT_EQ(rf_frame_build(&f, group, 1, 2, CMD_INFO_SET, ack_data{}), -1);
}

TEST(RfCodec, DecodeRefusesBadFrames) {
    bytes wrong_start = event_frame;
    wrong_start[0] = 0x02;
    bytes wrong_end = event_frame;
    wrong_end.back() = 0x05;
    bytes too_long(76, 0x80);  // payload of 65 bytes
    too_long[0] = 0x01;
    too_long.back() = 0x04;
    struct { const char* what; bytes b; size_t length; int rc; } cases[] = {
        {"shorter than 11", event_frame, 10, -1},
        {"payload above 64", too_long, too_long.size(), -1},
        {"start byte", wrong_start, wrong_start.size(), -2},
        {"end byte", wrong_end, wrong_end.size(), -2},
        {"end not where the length says", event_frame, 26, -2},
    };
    for (auto& c : cases) {
        rf_frame f;
        EXPECT_EQ(rf_frame_decode(c.b.data(), c.length, &f), c.rc) << c.what;
    }
    rf_frame f;
    EXPECT_EQ(rf_frame_decode(nullptr, 27, &f), -1);
    EXPECT_EQ(rf_frame_decode(event_frame.data(), event_frame.size(), nullptr), -1);
    bytes smallest{0x01, 0x08, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83, 0x8A, 0x65, 0x04};
    EXPECT_EQ(rf_frame_decode(smallest.data(), smallest.size(), &f), 0);
    EXPECT_EQ(f.payload_len, 0);
}

TEST(RfCodec, PayloadDecodeNeverReadsPastThePayload) {
    // A CMD_EVENT_DATA code on a frame carrying only 5 payload bytes.
    bytes short_event{0x01, 0x0D, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83, 0x8A, 0x65, 0x94, 0x81, 0x97, 0x81, 0x80, 0x04};
    rf_frame f;
    ASSERT_EQ(rf_frame_decode(short_event.data(), short_event.size(), &f), 0);
    f.payload[5] = 0x99;  // whatever lies behind the payload must not be decoded
    rf_record out = ack_data{{1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(rf_payload_decode(f, out), -2);
    EXPECT_EQ(out, rf_record(ack_data{{1, 2, 3, 4, 5, 6}}));
    // Every decoder on exactly one byte too few, from memory that ends there.
    for (const rf_command& row : rf_command_table) {
        bytes wire(row.payload_size - 1, 0x80);
        rf_record r;
        EXPECT_EQ(row.decode(std::span<const uint8_t>(wire.data(), wire.size()), r), -2) << row.name;
    }
    EXPECT_EQ(printed(f), "CMD_EVENT_DATA: payload too short (5 of 16 bytes)\n");
}

TEST(RfCodec, UnknownCodeLeavesRecordAndPrintsNothing) {
    rf_frame f;
    rf_frame_build(&f, group, 1, 2, 0x30, {});
    rf_record out = ack_data{{1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(rf_payload_decode(f, out), -1);
    EXPECT_EQ(out, rf_record(ack_data{{1, 2, 3, 4, 5, 6}}));
    EXPECT_EQ(printed(f), "");
}

TEST(RfCodec, Printers) {
    rf_frame f;
    ASSERT_EQ(rf_frame_decode(event_frame.data(), event_frame.size(), &f), 0);
    EXPECT_EQ(printed(f),
              "CMD_EVENT_DATA:\n"
              "  I Status       : 20\n"
              "  I Mean         : 123\n"
              "  I Min          : 100\n"
              "  I Max          : 250\n"
              "  V Status       : 1\n"
              "  V Inst         : 2305\n"
              "  Battery V      : 36\n"
              "  RSSI           : 80\n"
              "  Event Time     : 9 7 5 2 \n");

    rf_frame_build(&f, group, 1, 2, CMD_WAKEUP_NOTSET_ACK, ack_data{{26, 3, 9, 7, 5, 2}});
    EXPECT_EQ(printed(f), "CMD_WAKEUP_NOTSET_ACK:\n  Date           : 26 3 9 7 5 2 \n");
    rf_frame_build(&f, group, 1, 2, CMD_INFO_SET_ACK, event_time_data{{9, 7, 5, 2}});
    EXPECT_EQ(printed(f), "CMD_INFO_SET_ACK:\n  Event Time     : 9 7 5 2 \n");
    rf_frame_build(&f, group, 1, 2, CMD_FI_RESET, fi_reset_data{0x10, {9, 7, 5, 2}});
    EXPECT_EQ(printed(f), "CMD_FI_RESET:\n  Reset Type     : 16\n  Event Time     : 9 7 5 2 \n");

    infoset_data s;
    std::string loc = "Feeder 12 pole 7";
    std::copy(loc.begin(), loc.end(), s.location.begin());
    s.di_dt_level = 10;
    s.imax_level = 400;
    s.date = {26, 3, 9, 7, 5, 2};
    s.period = 15;
    rf_frame_build(&f, group, 1, 2, CMD_INFO_SET, s);
    EXPECT_EQ(printed(f),
              "CMD_INFO_SET:\n"
              "  Location       : Feeder 12 pole 7\n"
              "  di/dt Level    : 10\n"
              "  Imax Level     : 400\n"
              "  Auto Reset     : 0\n"
              "  Flash Time     : 0\n"
              "  Transient On   : 0\n"
              "  Validation     : 0\n"
              "  mV             : 0\n"
              "  Date           : 26 3 9 7 5 2 \n"
              "  Frequency      : 0\n"
              "  Period         : 15\n");

    wakeup_data w;
    w.location.fill('x');  // 20 characters, no terminator
    w.period = 5;
    rf_frame_build(&f, group, 1, 2, CMD_JOIN_DATA, w);
    std::string out = printed(f);
    EXPECT_EQ(out.substr(0, out.find('\n', 15) + 1), "CMD_JOIN_DATA:\n  Location       : xxxxxxxxxxxxxxxxxxxx\n");
    EXPECT_NE(out.find("  Period         : 5\n  I Status       : 0\n"), std::string::npos);
    EXPECT_NE(out.find("  RSSI           : 0\n  Event Time     : 0 0 0 0 \n"), std::string::npos);
}

TEST(RfCodec, AddressCheck) {
    rf_address self{group, 10};
    struct { group_id g; uint8_t dst; int accepted; int destination_ok; } cases[] = {
        {group, 10, 1, 1},
        {group, 21, 1, 1},                 // 21 is accepted whatever rtu_id is
        {group, 11, 0, 0},                 // "RTU ID is not matching"
        {{1, 2, 3, 4, 6}, 21, 0, 1},       // "Group ID is not matching"
        {{1, 2, 3, 4, 6}, 10, 0, 1},
    };
    for (auto& c : cases) {
        rf_frame f;
        rf_frame_build(&f, c.g, 3, c.dst, CMD_EVENT_DATA, event_data{});
        EXPECT_EQ(rf_frame_accepted(f, self), c.accepted) << int(c.dst);
        EXPECT_EQ(rf_destination_accepted(f, self), c.destination_ok) << int(c.dst);
    }
    rf_frame f;
    rf_frame_build(&f, group, 3, 10, CMD_EVENT_DATA, event_data{});
    EXPECT_EQ(rf_frame_accepted(f, rf_address{group, 266}), 0);  // rtu_id above 255 never matches its low byte
}
