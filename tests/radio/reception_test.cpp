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

}  // namespace
