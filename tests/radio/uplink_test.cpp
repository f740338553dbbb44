// What each kind of telegram does end to end: the values a master sees, the
// acknowledgement the FPI gets, the record kept, and fault counting.
#include <gtest/gtest.h>

#include "fpi/contacts.h"
#include "fpi/fault_counter.h"
#include "tests/radio/radio.h"

namespace {

using radio_test::frame_bytes;
using radio_test::radio_gateway;
using station_test::master;

rf::event_data event(uint8_t i_status, uint8_t v_status, uint8_t battery_v) {
    rf::event_data e;
    e.i_status = i_status;
    e.i_mean = 123;
    e.i_min = 100;
    e.i_max = 250;
    e.v_status = v_status;
    e.v_inst = 2305;
    e.battery_v = battery_v;
    e.rssi = 80;
    e.event_time = {9, 7, 5, 2};
    return e;
}

rf::wakeup_data wakeup(uint8_t period) {
    rf::wakeup_data w;
    const char loc[] = "FEEDER-09 POLE-0017 ";
    std::copy(loc, loc + 20, w.location.begin());
    w.di_dt_level = 10;
    w.imax_level = 400;
    w.auto_reset = 2;
    w.flash_time = 3;
    w.transient_on = 1;
    w.validation = 4;
    w.mv = 115;
    w.date = {26, 3, 9, 7, 5, 2};
    w.frequency = 50;
    w.period = period;
    w.i_status = 3;
    w.i_mean = 11;
    w.i_min = 12;
    w.i_max = 13;
    w.v_status = 2;
    w.v_inst = 2299;
    w.battery_v = 36;
    w.rssi = 70;
    return w;
}

// The values of slave `n`'s 28 points (IOAs n00..n27) that the master holds.
std::map<int, double> rows_of(const std::map<uint32_t, double>& v, int n) {
    std::map<int, double> rows;
    for (int r = 0; r < 28; ++r)
        if (auto it = v.find(uint32_t(n * 100 + r)); it != v.end()) rows[r] = it->second;
    return rows;
}

TEST(RadioUplink, EventsPublishTheirRowsAndAreAcknowledged) {
    struct event_case {
        int slave;
        uint8_t i_status, v_status, battery_v;
        std::array<int, 6> flags;  // Di/Dt inrush, transient, permanent, Imax inrush, transient, permanent
        int v_status_row, batt_event;
    };
    const event_case cases[] = {
        {1, 20, 0, 31, {0, 1, 0, 0, 0, 0}, 1, 1},
        {2, 19, 1, 32, {1, 0, 0, 0, 0, 0}, 0, 0},
        {3, 21, 2, 0, {0, 0, 1, 0, 0, 0}, 0, 1},
        {5, 3, 0, 255, {0, 0, 0, 1, 0, 0}, 1, 0},
        {6, 4, 0, 36, {0, 0, 0, 0, 1, 0}, 1, 0},
        {7, 5, 0, 36, {0, 0, 0, 0, 0, 1}, 1, 0},
        {8, 0, 0, 36, {0, 0, 0, 0, 0, 0}, 1, 0},
    };
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    for (const event_case& c : cases) {
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(c.i_status, c.v_status, c.battery_v), uint8_t(c.slave)));
        const auto ack = gw.next_downlink();
        ASSERT_TRUE(ack) << c.slave;
        EXPECT_EQ(ack->command, rf::CMD_EVENT_DATA_ACK);
        EXPECT_EQ(ack->destination_id, c.slave);
        rf::ack_data a;
        ASSERT_EQ(rf::rf_payload_decode_as(*ack, a), 0);
        EXPECT_EQ(a.date, (rf::rf_date{24, 6, 5, 12, 34, 56}));  // the gateway's local date (UTC here)
    }
    master m(gw.port());
    const auto values = radio_test::interrogated_values(m);
    for (const event_case& c : cases) {
        SCOPED_TRACE(c.slave);
        std::map<int, double> expected = {{0, c.i_status}, {7, 123}, {8, 100}, {9, 250}, {10, c.v_status_row},
                                          {11, double(2305 * 0.1f)}, {12, double(c.battery_v * 0.1f)},
                                          {13, c.batt_event}, {14, 80}, {24, 0}, {25, 1}, {26, 0}};
        for (int k = 0; k < 6; ++k) expected[1 + k] = c.flags[size_t(k)];
        EXPECT_EQ(rows_of(values, c.slave), expected);  // rows 15-23 and 27 are not an event's
    }
}

TEST(RadioUplink, WakeupsPublishEverySettingAndAreAnsweredByTheirOwnAck) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    struct wake_case {
        uint8_t command, ack;
        int slave;
    };
    const wake_case cases[] = {{rf::CMD_WAKEUP_NOTSET, rf::CMD_WAKEUP_NOTSET_ACK, 1},
                               {rf::CMD_WAKEUP_SET, rf::CMD_WAKEUP_SET_ACK, 2},
                               {rf::CMD_JOIN_DATA, rf::CMD_JOIN_DATA_ACK, 3}};
    for (const wake_case& c : cases) {
        gw.send(frame_bytes(c.command, wakeup(5), uint8_t(c.slave)));
        const auto ack = gw.next_downlink();
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->command, c.ack);
        EXPECT_EQ(ack->destination_id, c.slave);
    }
    master m(gw.port());
    const auto values = radio_test::interrogated_values(m);
    const std::map<int, double> expected = {
        {0, 3},   {1, 0},  {2, 0},   {3, 0},  {4, 1},  {5, 0},  {6, 0},  {7, 11},  {8, 12}, {9, 13},
        {10, 0},  {11, double(2299 * 0.1f)}, {12, double(36 * 0.1f)},   {13, 0},   {14, 70}, {15, 10},
        {16, 400}, {17, 2}, {18, 3}, {19, 1}, {20, 4}, {21, double(115 * 0.1f)}, {22, 50}, {23, 5},
        {24, 0},  {25, 1}, {26, 0}};
    for (const wake_case& c : cases) EXPECT_EQ(rows_of(values, c.slave), expected) << c.slave;
    EXPECT_EQ(gw.recent().front().measured.period, 5);
}

TEST(RadioUplink, AJoinWithoutPeriodKeepsTheKnownOne) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    gw.send(frame_bytes(rf::CMD_WAKEUP_NOTSET, wakeup(5), 4));
    ASSERT_TRUE(gw.next_downlink());
    EXPECT_EQ(fpi::get_wakeup_period(gw.g.fpis, 4), 5);
    gw.send(frame_bytes(rf::CMD_JOIN_DATA, wakeup(0), 4));
    ASSERT_TRUE(gw.next_downlink());
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 0, 36), 4));
    ASSERT_TRUE(gw.next_downlink());
    EXPECT_EQ(fpi::get_wakeup_period(gw.g.fpis, 4), 5);
    EXPECT_EQ(fpi::get_wakeup_period(gw.g.fpis, 5), 0);
}

TEST(RadioUplink, FlashModeCountsAFaultPerPeriodAndIsNeverAcknowledged) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    ASSERT_EQ(gw.cfg->derived.flash_transmit_period_ms, 60000);
    auto flash = [&] {
        const size_t before = gw.recent_count();
        gw.send(frame_bytes(rf::CMD_FLASH_MODE, event(20, 1, 36), 4));
        ASSERT_TRUE(gw.recorded(before));
        EXPECT_EQ(gw.recent().front().measured.fault, 1);
        ASSERT_TRUE(gw.faults_counted());  // and not answered: FPI 5's ACK is the next downlink
    };
    auto total = [&] {
        fpi::fault_counter_stats s;
        EXPECT_TRUE(fpi::fault_counter_get_stats(gw.g.fpis.faults, &s, 0));
        return s.groups[1].total;
    };
    flash();
    EXPECT_EQ(total(), 1u);
    radio_test::fake_monotonic_clock::advance(2000);
    flash();  // 2 s later: the same fault
    EXPECT_EQ(total(), 1u);
    radio_test::fake_monotonic_clock::advance(61000);
    flash();  // 61 s after the previous one: a new fault
    EXPECT_EQ(total(), 2u);
    radio_test::fake_monotonic_clock::advance(60000);
    flash();  // exactly the period: not more than it
    EXPECT_EQ(total(), 2u);
    {
        master m(gw.port());
        const auto rows = rows_of(radio_test::interrogated_values(m), 4);
        EXPECT_EQ(rows.at(24), 1);   // FAULT
        EXPECT_EQ(rows.at(0), 20);   // I status
        EXPECT_EQ(rows.at(2), 1);    // Di/Dt transient
        EXPECT_EQ(rows.at(25), 1);
    }
    // none of the four was answered: the next downlink is the event's ACK
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 1, 36), 4));
    const auto next = gw.next_downlink();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->command, rf::CMD_EVENT_DATA_ACK);

    master m(gw.port());
    const auto values = radio_test::interrogated_values(m);
    EXPECT_EQ(values.at(1006), 2);  // Group2_Total_Faults
    EXPECT_EQ(values.at(1005), 2);  // in the last seven days
    EXPECT_EQ(values.at(1004), 0);
    EXPECT_EQ(values.at(424), 0);   // FAULT of slave 4, back to 0 by the event
}

TEST(RadioUplink, FiResetReportPublishesTheResetTypeWithoutAnswer) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    rf::fi_reset_data r;
    r.reset_type = 0x20;
    r.event_time = {9, 7, 5, 2};
    const size_t before = gw.recent_count();
    gw.send(frame_bytes(rf::CMD_FI_RESET, r, 6));
    ASSERT_TRUE(gw.recorded(before));
    EXPECT_EQ(gw.recent().front().measured.reset, 32);
    EXPECT_EQ(gw.recent().front().error_msg, "OK");
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 1, 36), 5));  // another FPI's, as a barrier
    const auto next = gw.next_downlink();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->destination_id, 5);  // the report itself got no answer
    master m(gw.port());
    const auto rows = rows_of(radio_test::interrogated_values(m), 6);
    EXPECT_EQ(rows, (std::map<int, double>{{24, 0}, {25, 1}, {26, 32}}));  // only these three
    EXPECT_EQ(gw.g.fpis.contact_table[5].online, 0);  // the report is no contact
}

TEST(RadioUplink, TheFirstFlashModeTelegramCountsAlsoRightAfterBoot) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    radio_test::fake_monotonic_clock::now = 5000;  // 5 s after boot, less than the 60 s period
    const size_t before = gw.recent_count();
    gw.send(frame_bytes(rf::CMD_FLASH_MODE, event(20, 1, 36), 7));
    ASSERT_TRUE(gw.recorded(before));
    ASSERT_TRUE(gw.faults_counted());
    fpi::fault_counter_stats s;
    ASSERT_TRUE(fpi::fault_counter_get_stats(gw.g.fpis.faults, &s, 0));
    EXPECT_EQ(s.groups[2].total, 1u);
}

TEST(RadioUplink, TheRadiosPausesAreKept) {
    EXPECT_EQ(rf::downlink_env{}.pause_ms, 100);      // before every downlink frame
    rf::radio radio;
    logs::log_stores stores;
    outstation::station station;
    EXPECT_EQ((fpi::fpi_state{radio, stores, station}.fault_pause_ms), 500);  // after a counted fault
}

TEST(RadioUplink, ASlaveWithoutPointsIsRecordedButPublishesAndCountsNothing) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    const size_t before = gw.recent_count();
    gw.send(frame_bytes(rf::CMD_FLASH_MODE, event(20, 1, 36), 12));
    ASSERT_TRUE(gw.recorded(before));
    EXPECT_EQ(gw.recent().front().slave_id, 12);
    EXPECT_EQ(gw.recent().front().measured.fault, 1);
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 1, 36), 12));  // acknowledged all the same
    const auto ack = gw.next_downlink();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->destination_id, 12);
    fpi::fault_counter_stats s;
    ASSERT_TRUE(fpi::fault_counter_get_stats(gw.g.fpis.faults, &s, 0));
    for (const auto& g : s.groups) EXPECT_EQ(g.total, 0u);
    master m(gw.port());
    EXPECT_TRUE(radio_test::interrogated_values(m).empty());
}

TEST(RadioUplink, AShortPointListTakesTheLeadingRowsOnly) {
    radio_gateway gw([](config::config& cfg) {
        int kept = 0;
        std::erase_if(cfg.fpi_points, [&](const config::fpi_iec104_ioa& p) { return p.slave_id == 2 && ++kept > 20; });
    });
    ASSERT_TRUE(gw.ok);
    gw.send(frame_bytes(rf::CMD_WAKEUP_NOTSET, wakeup(5), 2));
    ASSERT_TRUE(gw.next_downlink());
    master m(gw.port());
    const auto rows = rows_of(radio_test::interrogated_values(m), 2);
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows.rbegin()->first, 19);
}

TEST(RadioUplink, AChangedValueReachesTheMasterSpontaneouslyWithTheFrameTime) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(test_support::wait_until([&] { return station_test::slot_online(gw.g.station, 0); }));
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 1, 36), 1));
    ASSERT_TRUE(gw.next_downlink());
    station_test::fake_wall_clock::now += 7000;
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(20, 1, 36), 1));  // I status and Di/Dt transient change
    ASSERT_TRUE(gw.next_downlink());
    ASSERT_TRUE(test_support::wait_until([&] {
        return m.count([](const iec104::Asdu& a) { return a.cot == iec104::COT_SPONTANEOUS; }) == 2;
    }));
    std::vector<std::pair<uint32_t, int32_t>> got;
    for (const iec104::Asdu& a : m.received()) {
        if (a.cot != iec104::COT_SPONTANEOUS) continue;
        const auto o = iec104::get_object(a, m.app, 0);
        got.push_back({o->ioa, o->value});
        // the frame time: whole seconds of the wall clock
        EXPECT_EQ(o->time, iec104::cp56_from_ms((station_test::fake_epoch_ms + 7000) / 1000 * 1000));
    }
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, int32_t>>{{100, 20}, {102, 1}}));
}

// With an event buffer, the FPI events that happen while the only master is
// away reach the next master of its slot first, with their frame times, then
// live data.
TEST(RadioUplink, EventsWhileTheMasterIsAwayReachTheNextMasterOfItsSlotFirst) {
    radio_gateway gw([](config::config& c) {
        c.settings.no_of_connections = 1;
        c.derived.event_buffer = 20;
    });
    ASSERT_TRUE(gw.ok);
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 1, 10), 1));  // first values: published, not reported
    ASSERT_TRUE(gw.next_downlink());
    {
        master away(gw.port());
        ASSERT_TRUE(away.started);
        ASSERT_TRUE(test_support::wait_until([&] { return station_test::slot_online(gw.g.station, 0); }));
    }
    ASSERT_TRUE(test_support::wait_until([&] { return !station_test::slot_online(gw.g.station, 0); }));
    std::vector<iec104::Cp56Time2a> times;  // the frame times: whole seconds of the wall clock
    for (int k = 1; k <= 20; ++k) {
        station_test::fake_wall_clock::now += 1000;
        times.push_back(iec104::cp56_from_ms(station_test::fake_wall_clock::now / 1000 * 1000));
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 1, uint8_t(10 + k)), 1));
        ASSERT_TRUE(gw.next_downlink());
    }
    station_test::fake_wall_clock::now += 1000;
    times.push_back(iec104::cp56_from_ms(station_test::fake_wall_clock::now / 1000 * 1000));
    master back(gw.port());
    ASSERT_TRUE(back.started);
    ASSERT_TRUE(test_support::wait_until([&] { return station_test::slot_online(gw.g.station, 0); }));
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(0, 1, 31), 1));
    ASSERT_TRUE(gw.next_downlink());
    auto spontaneous = [](const iec104::Asdu& a) { return a.cot == iec104::COT_SPONTANEOUS; };
    ASSERT_TRUE(test_support::wait_until([&] { return back.count(spontaneous) >= 21; }));
    std::vector<iec104::Cp56Time2a> got_times;
    std::vector<double> values;
    for (const iec104::Asdu& a : back.received()) {
        if (!spontaneous(a)) continue;
        const auto o = iec104::get_object(a, back.app, 0);
        ASSERT_TRUE(o);
        got_times.push_back(o->time);
        values.push_back(a.type == iec104::M_ME_TF_1 ? double(o->real) : double(o->value));
    }
    EXPECT_EQ(got_times, times);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()) &&
                std::adjacent_find(values.begin(), values.end()) == values.end());
}

}  // namespace
