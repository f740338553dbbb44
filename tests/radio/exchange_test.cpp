// Exchanges that outlast one telegram, end to end over the pty and a master:
// supervision of silent FPIs with the DCU reset request and the day-change
// refresh of the fault totals; the parameter (infoset) exchange with its
// time-outs and acknowledgement wait; pending RESET commands delivered at the
// FPI's next flash-mode telegram. The supervision and infoset passes run on
// the test's own thread after the fake clocks were moved.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/semaphore.h"
#include "fpi/contacts.h"
#include "fpi/fault_counter.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "fpi/supervision.h"
#include "tests/radio/radio.h"
#include "tests/support/capture.h"

namespace {

using radio_test::fake_monotonic_clock;
using radio_test::frame_bytes;
using radio_test::in_order;
using radio_test::master_online;
using radio_test::occurrences;
using radio_test::positions;
using radio_test::radio_gateway;
using radio_test::spontaneous;
using radio_test::spontaneous_reaches;
using radio_test::stored;
using station_test::fake_wall_clock;
using station_test::master;
using test_support::wait_until;

constexpr uint64_t start_ms = 10'000'000;  // the fake monotonic clock when a gateway starts
const rf::group_id our_group{1, 2, 3, 4, 5};

int64_t utc_ms(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return int64_t(timegm(&t)) * 1000;
}

int drain(core::semaphore& sem) {
    int n = 0;
    while (sem.try_acquire()) ++n;
    return n;
}

// The texts of the recent RF data list, oldest first.
std::vector<std::string> recent_texts(radio_gateway& gw) {
    std::vector<std::string> out;
    for (const logs::rf_data_entry& e : gw.recent()) out.insert(out.begin(), e.error_msg);
    return out;
}

bool online(fpi::fpi_state& fs, int slave) {
    std::lock_guard lk(fs.supervision_lock);
    return fs.contact_table[size_t(slave - 1)].online == 1;
}

// The parameter sets, pending resets, the ACK wait and the DCU reset
// semaphore are the gateway's own. The ACK wait lasts 0 s unless a test sets
// another.
struct exchange_gateway : radio_gateway {
    explicit exchange_gateway(const std::function<void(config::config&)>& tweak = {})
        : radio_gateway([tweak](config::config& c) {
              c.derived.infoset_ack_timeout = 0;
              if (tweak) tweak(c);
          }) {
        forget_recent();
    }
    // Sends a frame and waits until it was processed to its record (the
    // recent list is emptied first: it holds at most 50 entries).
    bool deliver(const radio_test::bytes& frame) {
        forget_recent();
        send(frame);
        return recorded(0);
    }
};

rf::event_data event() { return radio_test::ordinary_event(); }

rf::wakeup_data wakeup(uint8_t period) {
    rf::wakeup_data w;
    const char loc[] = "FEEDER-02 POLE-0001 ";
    std::copy(loc, loc + 20, w.location.begin());
    w.di_dt_level = 10;
    w.imax_level = 400;
    w.period = period;
    w.v_status = 1;
    w.battery_v = 36;
    return w;
}

// The value of every point by IOA that a station interrogation returns.
std::map<uint32_t, int32_t> interrogated(master& m) {
    std::map<uint32_t, int32_t> out;
    for (const iec104::Asdu& a : m.interrogate()) {
        if (a.cot != iec104::COT_INTERROGATED_BY_STATION) continue;
        for (int i = 0; i < a.count; ++i)
            if (const auto o = iec104::get_object(a, m.app, i)) out[o->ioa] = o->value;
    }
    return out;
}

// ---------------------------------------------------------------- supervision

TEST(Supervision, ASlaveGoesOfflineAtTheFirstPassAtTwiceItsPeriodPlusTwoMinutes) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(master_online(gw.g.station));
    struct silent_case {
        int slave;
        uint8_t period;  // minutes
    };
    const silent_case cases[] = {{1, 1}, {2, 5}, {3, 15}, {5, 255}};  // limits in ascending order
    for (const silent_case& c : cases) {
        gw.send(frame_bytes(rf::CMD_WAKEUP_NOTSET, wakeup(c.period), uint8_t(c.slave)));
        ASSERT_TRUE(gw.next_downlink());  // processed at start_ms
    }
    gw.forget_recent();
    fpi::supervision_state s;
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_TRUE(gw.recent().empty());

    for (const silent_case& c : cases) {
        SCOPED_TRACE(c.slave);
        const uint64_t limit = start_ms + (uint64_t(c.period) + 1) * 120000;
        fake_monotonic_clock::now = limit - 1;
        fpi::supervision_pass(gw.g.fpis, s);
        EXPECT_TRUE(gw.recent().empty());
        EXPECT_TRUE(online(gw.g.fpis, c.slave));

        fake_monotonic_clock::now = limit;
        testing::internal::CaptureStdout();
        fpi::supervision_pass(gw.g.fpis, s);
        const std::string out = testing::internal::GetCapturedStdout();
        const auto entries = gw.recent();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].error_msg, "Slave " + std::to_string(c.slave) + " is offline");
        EXPECT_EQ(entries[0].slave_id, c.slave);
        EXPECT_EQ(entries[0].cmd_type, 0);
        EXPECT_EQ(entries[0].frame, "FF");
        EXPECT_EQ(occurrences(out, "==== Slave " + std::to_string(c.slave) + " is offline ====\n"), 1u);
        EXPECT_FALSE(online(gw.g.fpis, c.slave));
        // the DCU is asked for once the last supervised slave is offline
        EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), c.slave == 5 ? 1 : 0);

        gw.forget_recent();
        fake_monotonic_clock::now = limit + 5000;
        fpi::supervision_pass(gw.g.fpis, s);  // already offline: no second report
        EXPECT_TRUE(gw.recent().empty());
    }

    for (const silent_case& c : cases) {
        const uint32_t ioa = uint32_t(c.slave * 100 + 25);  // SLAVE_STATUS
        EXPECT_TRUE(spontaneous_reaches(m, ioa, {0})) << c.slave;
    }
    for (const iec104::Asdu& a : m.received()) {
        if (a.cot != iec104::COT_SPONTANEOUS) continue;
        const auto o = iec104::get_object(a, m.app, 0);
        ASSERT_TRUE(o);
        EXPECT_EQ(o->time, iec104::cp56_from_ms(station_test::fake_epoch_ms / 1000 * 1000));  // frame time
    }
    const auto values = interrogated(m);
    for (const silent_case& c : cases) EXPECT_EQ(values.at(uint32_t(c.slave * 100 + 25)), 0) << c.slave;
}

TEST(Supervision, SlavesWithoutAKnownPeriodStayOnlineAndNeverRequestADcuReset) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    fpi::supervision_state s;
    fpi::supervision_pass(gw.g.fpis, s);  // nobody heard yet
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 0);

    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 6));
    ASSERT_TRUE(gw.next_downlink());
    gw.send(frame_bytes(rf::CMD_JOIN_DATA, wakeup(0), 8));  // a join without Period
    ASSERT_TRUE(gw.next_downlink());
    gw.forget_recent();
    for (const uint64_t later : {uint64_t(0), uint64_t(720000), uint64_t(3600000), uint64_t(86400000),
                                 uint64_t(30) * 86400000}) {
        fake_monotonic_clock::now = start_ms + later;
        fpi::supervision_pass(gw.g.fpis, s);
    }
    EXPECT_TRUE(gw.recent().empty());
    EXPECT_TRUE(online(gw.g.fpis, 6));
    EXPECT_TRUE(online(gw.g.fpis, 8));
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 0);
}

TEST(Supervision, AllSupervisedSlavesSilentTogetherRequestOneDcuResetUntilOneReturns) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    for (const uint8_t slave : {1, 4, 7}) {
        gw.send(frame_bytes(rf::CMD_WAKEUP_NOTSET, wakeup(5), slave));
        ASSERT_TRUE(gw.next_downlink());
    }
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 5));  // online but not supervised
    ASSERT_TRUE(gw.next_downlink());
    fpi::supervision_state s;
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 0);

    gw.forget_recent();
    fake_monotonic_clock::now = start_ms + 720000;
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(recent_texts(gw),
              (std::vector<std::string>{"Slave 1 is offline", "Slave 4 is offline", "Slave 7 is offline"}));
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 1);
    for (int pass = 1; pass <= 3; ++pass) {
        fake_monotonic_clock::advance(5000);
        fpi::supervision_pass(gw.g.fpis, s);
    }
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 0);
    EXPECT_EQ(recent_texts(gw).size(), 3u);

    // slave 4 is heard again, then falls silent again
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    ASSERT_TRUE(gw.next_downlink());
    const uint64_t back = fake_monotonic_clock::now;
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 0);
    gw.forget_recent();
    fake_monotonic_clock::now = back + 720000 - 1;
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_TRUE(gw.recent().empty());
    fake_monotonic_clock::now = back + 720000;  // the period learnt from the wake-up still applies
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{"Slave 4 is offline"}));
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 1);
    fake_monotonic_clock::advance(5000);
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(drain(gw.g.io.dcu_reset_sem), 0);
}

TEST(Supervision, FaultTotalsAreRepublishedOnceAfterEachLocalMidnight) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    constexpr int32_t last_7_days_1 = 1003, total_1 = 1004, scaled = 35;
    // a fault of group 1 on 31 May: inside the last seven days until 6 June
    fake_wall_clock::now = utc_ms(2024, 5, 31, 12, 0, 0);
    ASSERT_TRUE(gw.deliver(frame_bytes(rf::CMD_FLASH_MODE, event(), 1)));
    ASSERT_TRUE(gw.faults_counted());
    ASSERT_TRUE(stored(gw.g.station, total_1, scaled));
    EXPECT_EQ(stored(gw.g.station, total_1, scaled)->timestamp, utc_ms(2024, 5, 31, 12, 0, 0));
    master m(gw.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(master_online(gw.g.station));
    ASSERT_EQ(interrogated(m).at(last_7_days_1), 1);
    m.clear();

    fpi::supervision_state s;
    fake_wall_clock::now = utc_ms(2024, 6, 6, 0, 0, 0);
    fpi::supervision_pass(gw.g.fpis, s);  // the first pass has no day to compare with
    EXPECT_EQ(stored(gw.g.station, total_1, scaled)->timestamp, utc_ms(2024, 5, 31, 12, 0, 0));
    fake_wall_clock::now = utc_ms(2024, 6, 6, 23, 59, 59);
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(stored(gw.g.station, total_1, scaled)->timestamp, utc_ms(2024, 5, 31, 12, 0, 0));

    fake_wall_clock::now = utc_ms(2024, 6, 7, 0, 0, 0) + 400;
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(stored(gw.g.station, total_1, scaled)->timestamp, utc_ms(2024, 6, 7, 0, 0, 0));
    EXPECT_TRUE(spontaneous_reaches(m, last_7_days_1, {0}));  // the fault left the seven days
    fake_wall_clock::now = utc_ms(2024, 6, 7, 0, 0, 5);
    fpi::supervision_pass(gw.g.fpis, s);
    fake_wall_clock::now = utc_ms(2024, 6, 7, 18, 0, 0);
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(stored(gw.g.station, total_1, scaled)->timestamp, utc_ms(2024, 6, 7, 0, 0, 0));

    fake_wall_clock::now = utc_ms(2024, 6, 8, 0, 0, 1);
    fpi::supervision_pass(gw.g.fpis, s);
    EXPECT_EQ(stored(gw.g.station, total_1, scaled)->timestamp, utc_ms(2024, 6, 8, 0, 0, 1));
    const auto values = interrogated(m);
    EXPECT_EQ(values.at(last_7_days_1), 0);
    EXPECT_EQ(values.at(total_1), 1);
}

// ------------------------------------------------------------------- infoset

// The nine parameter points of an FPI, in parameter order: IOA N30 + k.
constexpr int32_t parameter_type[fpi::infoset_parameter_count] = {35, 36, 35, 35, 35, 35, 36, 35, 35};
using parameter_values = std::array<float, fpi::infoset_parameter_count>;
// Di_Dt_level, Imax_Level, Auto_Reset, Flash_Time, INRUSH, VALIDATION, VOLTAGE, FREQUENCY, PERIOD
const parameter_values sample_values = {300, -5, 2, 3, 1, 4, 23.5f, 50, 15};

int write_parameter(fpi::fpi_state& fs, int slave, int k, float value, uint64_t time_ms = uint64_t(station_test::fake_epoch_ms)) {
    return fpi::infoset_store_parameter(fs, uint32_t(slave * 100 + 30 + k), uint32_t(parameter_type[k]), time_ms, value);
}

// Writes parameters first..last-1; true when every write was stored.
bool write_parameters(fpi::fpi_state& fs, int slave, const parameter_values& v = sample_values, int first = 0,
                      int last = fpi::infoset_parameter_count) {
    bool all = true;
    for (int k = first; k < last; ++k) all &= write_parameter(fs, slave, k, v[size_t(k)]) == 3;
    return all;
}

rf::infoset_data record_of(const std::string& location, uint8_t di_dt, uint16_t imax, uint8_t auto_reset,
                           uint8_t flash_time, uint8_t transient_on, uint8_t validation, uint16_t mv,
                           uint8_t frequency, uint8_t period) {
    rf::infoset_data d;
    std::copy(location.begin(), location.end(), d.location.begin());
    d.di_dt_level = di_dt;
    d.imax_level = imax;
    d.auto_reset = auto_reset;
    d.flash_time = flash_time;
    d.transient_on = transient_on;
    d.validation = validation;
    d.mv = mv;
    d.date = {24, 6, 5, 12, 34, 56};  // the command time, local (UTC here)
    d.frequency = frequency;
    d.period = period;
    return d;
}

const std::string fpi4_location = "FEEDER-02 POLE-0001 ";
const std::string default_location = "C001                ";
const rf::infoset_data sample_record = record_of(fpi4_location, 44, 0, 2, 3, 1, 4, 235, 50, 15);

// The parameter set written to the line for `slave`, or nothing.
std::optional<rf::infoset_data> infoset_frame(const std::optional<rf::rf_frame>& f, int slave) {
    if (!f || f->command != rf::CMD_INFO_SET || f->destination_id != slave || f->source_id != 10 ||
        f->group != our_group)
        return std::nullopt;
    rf::infoset_data d;
    if (rf::rf_payload_decode_as(*f, d) != 0) return std::nullopt;
    return d;
}

// The parameter set of the next downlink frame, once the reader is done with
// the telegram it answered (it clears the sent set after the write): FPI
// 5's event, sent behind it, has been answered.
std::optional<rf::infoset_data> next_set(exchange_gateway& gw, int slave) {
    const auto set = infoset_frame(gw.next_downlink(), slave);
    if (set && !gw.quiet_since(5)) return std::nullopt;
    return set;
}

std::string status_text(int slave, int status) {
    return "Slave " + std::to_string(slave) + " infoset status: " + std::to_string(status);
}

TEST(Infoset, NineWritesReportTheStartAndWaitForTheFpisNextTelegram) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(master_online(gw.g.station));

    testing::internal::CaptureStdout();
    EXPECT_EQ(write_parameter(gw.g.fpis, 4, 0, sample_values[0]), 3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(4, 1), status_text(4, 0)}));
    EXPECT_TRUE(in_order(positions(out, {"==== Slave 4 infoset status: 1 ====\n", "==== Slave 4 infoset status: 0 ====\n"})))
        << out;
    EXPECT_EQ(out.find("Received all infoset parameters successfully."), std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(write_parameters(gw.g.fpis, 4, sample_values, 1, 8));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Received all infoset parameters successfully."), std::string::npos);
    EXPECT_EQ(recent_texts(gw).size(), 2u);  // the start is reported once

    testing::internal::CaptureStdout();
    EXPECT_TRUE(write_parameters(gw.g.fpis, 4, sample_values, 8, 9));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "Received all infoset parameters successfully."), 1u);
    EXPECT_EQ(recent_texts(gw).size(), 2u);

    // Telegrams that do not carry a set: a flash-mode report and an FI reset
    // report of FPI 4, and any telegram of another FPI.
    ASSERT_TRUE(gw.deliver(frame_bytes(rf::CMD_FLASH_MODE, event(), 4)));
    rf::fi_reset_data r;
    r.reset_type = 0x20;
    ASSERT_TRUE(gw.deliver(frame_bytes(rf::CMD_FI_RESET, r, 4)));
    EXPECT_TRUE(gw.quiet_since(5));

    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    const auto set = next_set(gw, 4);
    ASSERT_TRUE(set);
    EXPECT_EQ(*set, sample_record);  // and FPI 4's event got no ACK of its own

    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));  // the set is gone: the usual ACK
    const auto ack = gw.next_downlink();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->command, rf::CMD_EVENT_DATA_ACK);
    // the master saw the start (its first status is only stored)
    EXPECT_TRUE(spontaneous_reaches(m, 427, {0}));
}

// A write that arrives while the complete set is on its way (the radio's
// pause before the frame) would be cleared with it: it is refused instead.
TEST(Infoset, AWriteWhileTheSetIsBeingSentIsRefused) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4));
    gw.g.radio.downlink.pause_ms = 2000;  // the window in which the set is being sent
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    ASSERT_TRUE(test_support::wait_until([&] { return fpi::infoset_sending(gw.g.fpis, 4); }));
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_parameter(gw.g.fpis, 4, 0, 12), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Infoset parameters of slave 4 are being sent, write refused\n"),
              std::string::npos);
    EXPECT_TRUE(infoset_frame(gw.next_downlink(), 4));
    ASSERT_TRUE(test_support::wait_until([&] { return !fpi::infoset_sending(gw.g.fpis, 4); }));
    gw.g.radio.downlink.pause_ms = 0;
    EXPECT_EQ(write_parameter(gw.g.fpis, 4, 0, 12), 3);  // the next set starts
}

// A stop of the daemon does not wait out infoset_ack_timeout.
TEST(Infoset, TheAckWaitEndsWhenTheDaemonStops) {
    exchange_gateway gw([](config::config& c) { c.derived.infoset_ack_timeout = 3600; });
    ASSERT_TRUE(gw.ok);
    gw.cfg->derived.infoset_ack_timeout = 3600;
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4));
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    ASSERT_TRUE(infoset_frame(gw.next_downlink(), 4));
    ASSERT_TRUE(test_support::wait_until([&] { return !fpi::infoset_sending(gw.g.fpis, 4); }));
    std::atomic<bool> running{true};
    testing::internal::CaptureStdout();
    std::thread waiting([&] { fpi::infoset_pass(gw.g.fpis, &running); });
    running = false;
    waiting.join();  // long before the hour
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Waiting for infoset command response...\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Timeout!"), std::string::npos) << out;
    EXPECT_EQ(out.find("infoset status"), std::string::npos) << out;
}

TEST(Infoset, EveryTelegramThatListensIsAnsweredByThePendingSetInsteadOfItsAck) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    struct telegram_case {
        const char* name;
        uint8_t command;
        bool wakeup_layout;
        uint8_t to;
    };
    const telegram_case cases[] = {
        {"wake-up", rf::CMD_WAKEUP_NOTSET, true, 10}, {"join", rf::CMD_JOIN_DATA, true, 10},
        {"wake-up set", rf::CMD_WAKEUP_SET, true, 10}, {"event", rf::CMD_EVENT_DATA, false, 10},
        {"event to RTU id 21", rf::CMD_EVENT_DATA, false, 21},
    };
    for (const telegram_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_parameters(gw.g.fpis, 4));
        EXPECT_TRUE(gw.quiet_since(5));
        if (c.wakeup_layout)
            gw.send(frame_bytes(c.command, wakeup(15), 4, c.to));
        else
            gw.send(frame_bytes(c.command, event(), 4, c.to));
        const auto set = next_set(gw, 4);  // from rtu_id 10 whatever the telegram's address; no ACK
        ASSERT_TRUE(set);
        EXPECT_EQ(*set, sample_record);
        fpi::infoset_pass(gw.g.fpis);  // the (0 s) ACK wait
    }
}

TEST(Infoset, ParameterValuesAreConvertedForTheFpi) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    struct conversion_case {
        parameter_values written;
        rf::infoset_data sent;
    };
    const float nan = std::nanf("");
    const conversion_case cases[] = {
        {sample_values, sample_record},
        // low 8 bits of the 8-bit fields; the largest values of the base-100 pairs
        {{255, 25599, 256, 3.99f, 1e10f, nan, 2559, -1, 300}, record_of(fpi4_location, 255, 25599, 0, 3, 255, 0, 25590, 0, 44)},
        {{10.9f, 400.7f, 0, 0, 0, 0, 0.05f, 49.99f, 0}, record_of(fpi4_location, 10, 400, 0, 0, 0, 0, 0, 49, 0)},
    };
    int row = 0;
    for (const conversion_case& c : cases) {
        SCOPED_TRACE(row++);
        ASSERT_TRUE(write_parameters(gw.g.fpis, 4, c.written));
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
        const auto set = next_set(gw, 4);
        ASSERT_TRUE(set);
        EXPECT_EQ(*set, c.sent);
        fpi::infoset_pass(gw.g.fpis);
    }
}

TEST(Infoset, ValuesTheFpiCannotCarryAreRefusedAndLeaveTheSetAsItWas) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    struct refused_case {
        uint32_t ioa, type_id;
        float value;
    };
    const refused_case refused[] = {
        {431, 36, 25600},  // Imax_Level above what a base-100 pair carries
        {431, 36, 1e9f},
        {436, 36, 2560},  // VOLTAGE x 10 = 25600
        {436, 36, 1e6f},
        {431, 35, 100},  // a parameter IOA with another type
        {400, 35, 1},    // I_Status: no parameter
        {440, 30, 1},    // RESET command: no parameter
        {999, 35, 1},    // no such point
    };
    for (const refused_case& c : refused)
        EXPECT_EQ(fpi::infoset_store_parameter(gw.g.fpis, c.ioa, c.type_id, uint64_t(station_test::fake_epoch_ms), c.value), -1)
            << c.ioa << " " << c.value;
    EXPECT_TRUE(gw.recent().empty());  // nothing refused started a set

    EXPECT_EQ(write_parameter(gw.g.fpis, 4, 1, 25599), 3);  // the largest values that travel
    EXPECT_EQ(write_parameter(gw.g.fpis, 4, 6, 2559), 3);
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4));
    EXPECT_EQ(write_parameter(gw.g.fpis, 4, 1, 25600), -1);  // refused over a stored value
    EXPECT_EQ(write_parameter(gw.g.fpis, 4, 6, 2560), -1);
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    const auto set = next_set(gw, 4);
    ASSERT_TRUE(set);
    EXPECT_EQ(*set, sample_record);  // Imax level 0 and mV 235 as last stored
}

TEST(Infoset, TheLocationIsTheConfiguredOneOnlyWhenItHasTwentyCharacters) {
    exchange_gateway gw([](config::config& c) {
        c.derived.locations[0] = "FEEDER-01 POLE-001 ";    // 19 characters
        c.derived.locations[1] = "FEEDER-01 POLE-00002 ";  // 21
        c.derived.locations[2] = std::nullopt;
    });
    ASSERT_TRUE(gw.ok);
    struct location_case {
        int slave;
        std::string sent, line;
    };
    const std::string from_config = "Setting location from configuration";
    const std::string by_default = "Setting default location: C001                 \n";  // 17 spaces
    const location_case cases[] = {
        {1, default_location, by_default},
        {2, default_location, by_default},
        {3, default_location, by_default},
        {4, fpi4_location, from_config},
    };
    for (const location_case& c : cases) {
        SCOPED_TRACE(c.slave);
        ASSERT_TRUE(write_parameters(gw.g.fpis, c.slave));
        testing::internal::CaptureStdout();
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), uint8_t(c.slave)));
        const auto set = next_set(gw, c.slave);
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(set);
        EXPECT_EQ(std::string(set->location.data(), 20), c.sent);
        EXPECT_EQ(occurrences(out, c.line), 1u) << out;
        EXPECT_EQ(occurrences(out, c.line == from_config ? by_default : from_config), 0u);
        fpi::infoset_pass(gw.g.fpis);
    }
}

TEST(Infoset, TheAckWaitEndsWithStatusTwoOnAnAckAndOneWithout) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(master_online(gw.g.station));
    struct ack_case {
        int ack_from;  // 0: no ACK
        int status;
        const char* line;
        std::vector<int32_t> master_saw;  // INFOSET_STATUS so far; a first value is only stored
    };
    const ack_case cases[] = {
        {4, 2, "Infoset successful.\n", {0, 2}},
        {0, 1, "Timeout! Infoset command response not received.\n", {0, 2, 1, 0, 1}},
        {7, 1, "Timeout! Infoset command response not received.\n", {0, 2, 1, 0, 1, 0, 1}},  // not FPI 4's
    };
    for (const ack_case& c : cases) {
        SCOPED_TRACE(c.ack_from);
        ASSERT_TRUE(write_parameters(gw.g.fpis, 4));
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
        ASSERT_TRUE(next_set(gw, 4));
        if (c.ack_from) {
            rf::event_time_data t;
            t.event_time = {5, 12, 35, 0};
            ASSERT_TRUE(gw.deliver(frame_bytes(rf::CMD_INFO_SET_ACK, t, uint8_t(c.ack_from))));
            ASSERT_TRUE(gw.quiet_since(5));  // the reader is done with the ACK, not only its record
        }
        gw.forget_recent();
        testing::internal::CaptureStdout();
        fpi::infoset_pass(gw.g.fpis);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(in_order(positions(out, {"Waiting for infoset command response...\n", c.line}))) << out;
        EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(4, c.status)}));
        EXPECT_TRUE(spontaneous_reaches(m, 427, c.master_saw));

        testing::internal::CaptureStdout();
        fpi::infoset_pass(gw.g.fpis);  // one wait per send
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("Waiting for infoset command response..."), std::string::npos);
        EXPECT_EQ(recent_texts(gw).size(), 1u);
    }
}

TEST(Infoset, AnIncompleteSetIsDroppedAfterTheParameterTimeout) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    const uint64_t timeout = uint64_t(gw.cfg->derived.infoset_param_timeout_ms);
    ASSERT_EQ(timeout, 300000u);
    const uint64_t first = fake_monotonic_clock::now;
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4, sample_values, 0, 1));
    fake_monotonic_clock::now = first + timeout - 10;
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4, sample_values, 1, 8));  // eight of nine; the time runs from the first
    gw.forget_recent();
    fake_monotonic_clock::now = first + timeout - 1;
    fpi::infoset_pass(gw.g.fpis);
    EXPECT_TRUE(gw.recent().empty());

    fake_monotonic_clock::now = first + timeout;
    testing::internal::CaptureStdout();
    fpi::infoset_pass(gw.g.fpis);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "Infoset paramters timeout for the slave 4\n"), 1u) << out;
    EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(4, 1)}));

    // the eight are gone: the ninth starts a new set of one
    gw.forget_recent();
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4, sample_values, 8, 9));
    EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(4, 1), status_text(4, 0)}));
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    const auto ack = gw.next_downlink();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->command, rf::CMD_EVENT_DATA_ACK);
}

TEST(Infoset, ACompleteSetIsDroppedWhenTheFpiDoesNotListenInTime) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    ASSERT_EQ(gw.cfg->derived.infoset_wakeup_fallback_timeout_ms, 3600000);
    gw.send(frame_bytes(rf::CMD_WAKEUP_NOTSET, wakeup(15), 4));
    ASSERT_TRUE(gw.next_downlink());
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 5));  // no period known
    ASSERT_TRUE(gw.next_downlink());
    struct wakeup_case {
        int slave;
        uint64_t allowance;
    };
    const wakeup_case cases[] = {{4, 15 * 60000}, {5, 3600000}};
    for (const wakeup_case& c : cases) {
        SCOPED_TRACE(c.slave);
        const uint64_t complete = fake_monotonic_clock::now;
        ASSERT_TRUE(write_parameters(gw.g.fpis, c.slave));
        fake_monotonic_clock::now = complete + 600000;
        testing::internal::CaptureStdout();
        EXPECT_EQ(write_parameter(gw.g.fpis, c.slave, 2, 7), 3);  // a rewrite keeps the first completion's deadline
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(occurrences(out, "Received all infoset parameters successfully."), 1u);

        gw.forget_recent();
        fake_monotonic_clock::now = complete + c.allowance - 1;
        fpi::infoset_pass(gw.g.fpis);
        EXPECT_TRUE(gw.recent().empty());
        fake_monotonic_clock::now = complete + c.allowance;
        testing::internal::CaptureStdout();
        fpi::infoset_pass(gw.g.fpis);
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(occurrences(out, "Wakeup infoset timeout for the slave " + std::to_string(c.slave) + "\n"), 1u)
            << out;
        EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(c.slave, 1)}));

        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), uint8_t(c.slave)));
        const auto ack = gw.next_downlink();  // nothing left to send
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->command, rf::CMD_EVENT_DATA_ACK);
    }
}

// A pass of the infoset thread on a thread of its own; one still waiting at
// the end of a test is stopped as the daemon's stop would.
struct background_pass {
    fpi::fpi_state& fpis;
    std::atomic<bool> running{true};
    std::thread t{[this] { fpi::infoset_pass(fpis, &running); }};
    ~background_pass() {
        if (!t.joinable()) return;
        running = false;
        fpi::infoset_wake(fpis);
        t.join();
    }
};

TEST(Infoset, AWallClockStepDuringTheAckWaitChangesNothing) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);

    // forward by three hours, then the ACK: the wait neither ended at the step
    gw.cfg->derived.infoset_ack_timeout = 30;
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4));
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    ASSERT_TRUE(next_set(gw, 4));
    gw.forget_recent();
    {
        test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
        background_pass pass{gw.g.fpis};
        const bool waiting = tap.wait_for_text("Waiting for infoset command response...");
        fake_wall_clock::now += 3 * 3600 * 1000;
        rf::event_time_data t;
        gw.send(frame_bytes(rf::CMD_INFO_SET_ACK, t, 4));
        const bool done = wait_until([&] { return recent_texts(gw).size() >= 2; });
        pass.t.join();
        const std::string out = tap.release();
        ASSERT_TRUE(waiting) << out;
        ASSERT_TRUE(done);
        EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{"OK", status_text(4, 2)}));
        EXPECT_EQ(occurrences(out, "Infoset successful.\n"), 1u) << out;
    }

    // back by six hours without an ACK: the wait still ends when its second
    // has passed on the monotonic clock
    gw.cfg->derived.infoset_ack_timeout = 1;
    ASSERT_TRUE(write_parameters(gw.g.fpis, 4));
    gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 4));
    ASSERT_TRUE(next_set(gw, 4));
    gw.forget_recent();
    {
        test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
        background_pass pass{gw.g.fpis};
        const bool waiting = tap.wait_for_text("Waiting for infoset command response...");
        fake_wall_clock::now -= 6 * 3600 * 1000;
        fake_monotonic_clock::advance(1000);
        const bool done = wait_until([&] { return !gw.recent().empty(); });
        const std::string out = tap.release();
        ASSERT_TRUE(waiting) << out;
        ASSERT_TRUE(done) << "the wait did not end";
        pass.t.join();
        EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(4, 1)}));
        EXPECT_EQ(occurrences(out, "Timeout! Infoset command response not received.\n"), 1u) << out;
    }
}

const char* const ack_line = "Infoset successful.\n";
const char* const no_ack_line = "Timeout! Infoset command response not received.\n";

radio_test::bytes ack_from(int slave) { return frame_bytes(rf::CMD_INFO_SET_ACK, rf::event_time_data{}, uint8_t(slave)); }

// An ACK no set of the FPI waits for, once the reader is done with it (an
// event of FPI 6 behind it has been answered): the recent list holds the
// two records and nothing else.
bool stray_ack(exchange_gateway& gw, int slave) {
    return gw.deliver(ack_from(slave)) && gw.quiet_since(6) && recent_texts(gw) == std::vector<std::string>{"OK", "OK"};
}

// FPI 5's CMD_INFO_SET_ACK while FPI 2's set waits for its own, whether the
// wait had begun or not: recorded and printed like any ACK, and nothing more.
// FPI 2's set goes on waiting and ends by its time-out or by FPI 2's ACK.
TEST(Infoset, AnotherFpisAckLeavesTheWaitingSetWaiting) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    gw.cfg->derived.infoset_ack_timeout = 60;
    master m(gw.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(master_online(gw.g.station));
    struct stray_case {
        bool during_wait;  // else before the infoset thread began to wait
        bool fpi2_acks;    // else the wait times out
    };
    const stray_case cases[] = {{true, false}, {true, true}, {false, false}, {false, true}};
    std::vector<int32_t> master_saw;  // FPI 2's INFOSET_STATUS so far; the first value is only stored
    for (const stray_case& c : cases) {
        SCOPED_TRACE(std::string(c.during_wait ? "during" : "before") + (c.fpi2_acks ? ", FPI 2 acks" : ", time-out"));
        ASSERT_TRUE(write_parameters(gw.g.fpis, 2));
        if (!master_saw.empty() && master_saw.back() != 1) master_saw.push_back(1);
        master_saw.push_back(0);
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), 2));
        ASSERT_TRUE(next_set(gw, 2));
        gw.forget_recent();
        std::string out;
        {
            test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
            if (!c.during_wait) {
                ASSERT_TRUE(stray_ack(gw, 5));
            }
            background_pass pass{gw.g.fpis};
            ASSERT_TRUE(tap.wait_for_text("Waiting for infoset command response...")) << tap.text();
            if (c.during_wait) {
                ASSERT_TRUE(stray_ack(gw, 5));
            }
            EXPECT_NE(tap.text().find("Received Info Set ACK from SlaveId 5\n"), std::string::npos);
            EXPECT_EQ(fpi::infoset_phase_of(gw.g.fpis, 2), fpi::infoset_phase::awaiting_ack);
            EXPECT_EQ(fpi::infoset_phase_of(gw.g.fpis, 5), fpi::infoset_phase::idle);
            ASSERT_TRUE(stored(gw.g.station, 227, 35));
            EXPECT_EQ(stored(gw.g.station, 227, 35)->integer_value, 0);  // not acknowledged

            gw.forget_recent();
            if (c.fpi2_acks) {
                ASSERT_TRUE(gw.deliver(ack_from(2)));
            } else {
                fake_monotonic_clock::advance(60000);
            }
            ASSERT_TRUE(wait_until([&] { return recent_texts(gw).size() == (c.fpi2_acks ? 2u : 1u); }));
            pass.t.join();
            out = tap.release();
        }
        const int status = c.fpi2_acks ? 2 : 1;
        master_saw.push_back(status);
        const std::vector<std::string> recorded =
            c.fpi2_acks ? std::vector<std::string>{"OK", status_text(2, 2)} : std::vector<std::string>{status_text(2, 1)};
        EXPECT_EQ(recent_texts(gw), recorded);
        EXPECT_EQ(occurrences(out, c.fpi2_acks ? ack_line : no_ack_line), 1u) << out;
        EXPECT_EQ(occurrences(out, c.fpi2_acks ? no_ack_line : ack_line), 0u) << out;
        EXPECT_EQ(stored(gw.g.station, 227, 35)->integer_value, status);
        EXPECT_TRUE(spontaneous_reaches(m, 227, master_saw));
        EXPECT_TRUE(spontaneous(m, 527).empty());  // FPI 5 had no exchange to report
        EXPECT_EQ(fpi::infoset_phase_of(gw.g.fpis, 2), fpi::infoset_phase::idle);
    }
}

// Sets of FPIs 2, 5 and 7 sent one after the other and acknowledged in
// another order: each ACK completes its own FPI's set only. The waits run
// one at a time, lowest slave id first; an ACK that came before its wait
// ends that wait at once.
TEST(Infoset, EachAckCompletesTheSetOfTheFpiThatSentIt) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    gw.cfg->derived.infoset_ack_timeout = 60;
    for (const int slave : {2, 5, 7}) {
        ASSERT_TRUE(write_parameters(gw.g.fpis, slave));
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, event(), uint8_t(slave)));
        ASSERT_TRUE(infoset_frame(gw.next_downlink(), slave));
        ASSERT_TRUE(gw.quiet_since(6));
    }
    gw.forget_recent();
    auto phases = [&] {
        std::vector<fpi::infoset_phase> p;
        for (const int slave : {2, 5, 7}) p.push_back(fpi::infoset_phase_of(gw.g.fpis, slave));
        return p;
    };
    using ph = fpi::infoset_phase;
    EXPECT_EQ(phases(), (std::vector<ph>{ph::awaiting_ack, ph::awaiting_ack, ph::awaiting_ack}));

    test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
    {
        background_pass pass{gw.g.fpis};  // FPI 2's wait
        ASSERT_TRUE(tap.wait_for_text("Waiting for infoset command response..."));
        // FPI 5's ACK: FPI 5's set, not the one waited for
        ASSERT_TRUE(gw.deliver(ack_from(5)));
        ASSERT_TRUE(gw.quiet_since(6));
        EXPECT_EQ(phases(), (std::vector<ph>{ph::awaiting_ack, ph::acknowledged, ph::awaiting_ack}));
        ASSERT_TRUE(gw.deliver(ack_from(2)));
        ASSERT_TRUE(wait_until([&] { return recent_texts(gw).size() == 2; }));
        pass.t.join();
    }
    EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{"OK", status_text(2, 2)}));
    EXPECT_EQ(phases(), (std::vector<ph>{ph::idle, ph::acknowledged, ph::awaiting_ack}));

    gw.forget_recent();
    fpi::infoset_pass(gw.g.fpis);  // FPI 5's, acknowledged already
    EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(5, 2)}));
    EXPECT_EQ(phases(), (std::vector<ph>{ph::idle, ph::idle, ph::awaiting_ack}));
    {
        background_pass pass{gw.g.fpis};  // FPI 7's, never acknowledged
        ASSERT_TRUE(wait_until([&] { return occurrences(tap.text(), "Waiting for infoset command response...") == 3; }));
        fake_monotonic_clock::advance(60000);
        ASSERT_TRUE(wait_until([&] { return recent_texts(gw).size() == 2; }));
        pass.t.join();
    }
    const std::string out = tap.release();
    EXPECT_EQ(recent_texts(gw), (std::vector<std::string>{status_text(5, 2), status_text(7, 1)}));
    EXPECT_EQ(phases(), (std::vector<ph>{ph::idle, ph::idle, ph::idle}));
    EXPECT_TRUE(in_order(positions(out, {"Waiting for infoset command response...\n", "Received Info Set ACK from SlaveId 5\n",
                                         "Received Info Set ACK from SlaveId 2\n", ack_line}))) << out;
    EXPECT_EQ(occurrences(out, ack_line), 2u) << out;
    EXPECT_EQ(occurrences(out, no_ack_line), 1u) << out;
    EXPECT_TRUE(out.rfind(no_ack_line) > out.rfind(ack_line)) << out;
}

// ------------------------------------------------------------ pending resets

const std::vector<std::string> reset_sent_lines = {
    "Pending RESET command found for slave_id 4. Sending reset command...\n",
    "FPI reset write operation successful for slave 4\n",
    "RESET command sent successfully for slave_id 4\n",
    "Cleared pending RESET command for slave_id 4\n",
    "Saving Fault for Slave id 4 and Group id 2\n",  // the telegram's fault comes after its reset
};

// A flash-mode telegram of `slave`: what it printed until it was recorded
// and, when it `counts` a fault, until the fault worker is done with it (the
// count follows the record, off the reader).
std::string flash_from(exchange_gateway& gw, int slave, bool counts, std::optional<rf::rf_frame>* downlink = nullptr) {
    test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
    gw.forget_recent();
    gw.send(frame_bytes(rf::CMD_FLASH_MODE, event(), uint8_t(slave)));
    if (downlink) *downlink = gw.next_downlink();
    const bool recorded = gw.recorded(0);
    const bool counted = !counts || (tap.wait_for_text("Saving Fault for Slave id " + std::to_string(slave) + " ") &&
                                     wait_until([&] { return gw.fault_work_idle(); }));
    std::string out = tap.release();
    EXPECT_TRUE(recorded);
    EXPECT_TRUE(counted) << out;
    return out;
}

bool is_remote_reset(const std::optional<rf::rf_frame>& f, int slave) {
    rf::event_time_data t;
    return f && f->command == rf::CMD_REMOTE_RESET && f->source_id == 10 && f->destination_id == slave &&
           f->group == our_group && f->length == 0x0C && rf::rf_payload_decode_as(*f, t) == 0 &&
           t.event_time == rf::rf_day_time{5, 12, 34, 56};  // the gateway's local day-time
}

TEST(PendingReset, TheNextFlashModeTelegramWithinTheHourGetsTheReset) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    struct age_case {
        uint64_t renewed_after;  // a second store this long after the first, 0: none
        uint64_t age;            // from the (last) store to the telegram
        bool sent;
    };
    const age_case cases[] = {
        {0, 59 * 60000, true},
        {0, 3600000, true},
        {0, 3600001, false},
        {1800000, 3540000, true},  // a new store starts the hour again
    };
    for (const age_case& c : cases) {
        SCOPED_TRACE(c.age);
        fake_monotonic_clock::advance(7200000);  // the previous row's telegram is long past
        fpi::pending_reset_store(gw.g.fpis, 4);
        if (c.renewed_after) {
            fake_monotonic_clock::advance(c.renewed_after);
            fpi::pending_reset_store(gw.g.fpis, 4);
        }
        fake_monotonic_clock::advance(c.age);
        std::optional<rf::rf_frame> downlink;
        const std::string out = flash_from(gw, 4, true, c.sent ? &downlink : nullptr);
        if (c.sent) {
            EXPECT_TRUE(is_remote_reset(downlink, 4));
            EXPECT_TRUE(in_order(positions(out, reset_sent_lines))) << out;
            EXPECT_EQ(occurrences(out, "rtu: Sending ACK wrote 15 bytes\n"), 1u);
        } else {
            EXPECT_EQ(occurrences(out, "Pending RESET command expired for slave_id 4, age_ms=3600001\n"), 1u) << out;
            EXPECT_EQ(out.find("Pending RESET command found"), std::string::npos);
        }
        EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 4), 0);  // sent and cleared, or expired
        EXPECT_TRUE(gw.quiet_since(5));             // nothing (more) went to FPI 4
        const std::string again = flash_from(gw, 4, false);  // within the period: no new fault
        EXPECT_EQ(again.find("Pending RESET command"), std::string::npos);
        EXPECT_TRUE(gw.quiet_since(5));
    }
}

TEST(PendingReset, SlaveTenIsIgnoredByEveryOperation) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    testing::internal::CaptureStdout();
    fpi::pending_reset_store(gw.g.fpis, 10);
    fpi::pending_reset_store(gw.g.fpis, 0);
    const int check = fpi::pending_reset_check(gw.g.fpis, 10);
    fpi::pending_reset_clear(gw.g.fpis, 10);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(check, 0);
    EXPECT_EQ(out, "");
    for (int s = 1; s <= fpi::slave_count; ++s) EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, s), 0) << s;
    for (const int slave : {10, 1, 9}) {
        const std::string flash = flash_from(gw, slave, slave != 10);
        EXPECT_EQ(flash.find("Pending RESET command"), std::string::npos) << slave;
    }
    EXPECT_TRUE(gw.quiet_since(5));
}

// A check reads its clock before it takes the lock, so a reset stored in
// between is younger than the check's `now`. It is due, not an hour old.
TEST(PendingReset, AResetStoredAfterTheCheckReadItsClockIsDue) {
    fake_monotonic_clock mono;
    rf::radio radio;
    logs::log_stores stores;
    outstation::station station;
    fpi::fpi_state fpis{radio, stores, station};
    fpi::pending_reset_store(fpis, 4);
    fake_monotonic_clock::now -= 1;  // the check's clock read, just before the store
    testing::internal::CaptureStdout();
    const int check = fpi::pending_reset_check(fpis, 4);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(check, 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(fpi::pending_reset_waiting(fpis, 4));
}

TEST(PendingReset, AFailedWriteKeepsTheResetForTheNextFlashModeTelegram) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    fpi::pending_reset_store(gw.g.fpis, 4);
    fake_monotonic_clock::advance(10 * 60000);
    {
        // The reader keeps reading its port; only the downlink write goes to
        // a descriptor that cannot be written.
        core::unique_fd read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(read_only);
        std::atomic<int>& rtu_fd = gw.g.radio.rtu_fd;
        const int port = rtu_fd.exchange(read_only.get());
        struct restore {
            std::atomic<int>& rtu_fd;
            int port;
            ~restore() { rtu_fd = port; }
        } restore_port{rtu_fd, port};
        testing::internal::CaptureStderr();
        const std::string out = flash_from(gw, 4, true);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(in_order(positions(out, {"Pending RESET command found for slave_id 4. Sending reset command...\n",
                                             "rtu: Sending ACK wrote -1 bytes\n",
                                             "FPI reset write operation failed for slave 4\n",
                                             "RESET command send failed for slave_id 4\n"})))
            << out;
        EXPECT_EQ(out.find("Cleared pending RESET command"), std::string::npos);
        EXPECT_NE(err.find("uart_write: write error"), std::string::npos) << err;
    }
    EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 4), 1);
    EXPECT_TRUE(gw.quiet_since(5));

    fake_monotonic_clock::advance(49 * 60000);  // 59 minutes after the store
    std::optional<rf::rf_frame> downlink;
    const std::string out = flash_from(gw, 4, true, &downlink);
    EXPECT_TRUE(is_remote_reset(downlink, 4));
    EXPECT_TRUE(in_order(positions(out, {reset_sent_lines[0], reset_sent_lines[1], reset_sent_lines[2],
                                         reset_sent_lines[3]})))
        << out;
    EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 4), 0);
}

TEST(PendingReset, OnlyAFlashModeTelegramDeliversIt) {
    exchange_gateway gw;
    ASSERT_TRUE(gw.ok);
    fpi::pending_reset_store(gw.g.fpis, 4);
    struct answered_case {
        uint8_t command, ack;
    };
    const answered_case answered[] = {
        {rf::CMD_EVENT_DATA, rf::CMD_EVENT_DATA_ACK},
        {rf::CMD_WAKEUP_NOTSET, rf::CMD_WAKEUP_NOTSET_ACK},
        {rf::CMD_JOIN_DATA, rf::CMD_JOIN_DATA_ACK},
        {rf::CMD_WAKEUP_SET, rf::CMD_WAKEUP_SET_ACK},
    };
    for (const answered_case& c : answered) {
        SCOPED_TRACE(int(c.command));
        testing::internal::CaptureStdout();
        if (c.command == rf::CMD_EVENT_DATA)
            gw.send(frame_bytes(c.command, event(), 4));
        else
            gw.send(frame_bytes(c.command, wakeup(15), 4));
        const auto next = gw.next_downlink();
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->command, c.ack);
        EXPECT_EQ(out.find("Pending RESET command found"), std::string::npos);
    }
    rf::fi_reset_data r;
    r.reset_type = 0x08;
    ASSERT_TRUE(gw.deliver(frame_bytes(rf::CMD_FI_RESET, r, 4)));
    ASSERT_TRUE(gw.deliver(frame_bytes(rf::CMD_INFO_SET_ACK, rf::event_time_data{}, 4)));
    EXPECT_TRUE(gw.quiet_since(5));
    EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 4), 1);

    std::optional<rf::rf_frame> downlink;
    const std::string out = flash_from(gw, 4, true, &downlink);
    EXPECT_TRUE(is_remote_reset(downlink, 4));
    EXPECT_TRUE(in_order(positions(out, reset_sent_lines))) << out;
}

}  // namespace
