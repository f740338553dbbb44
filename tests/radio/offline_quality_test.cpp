// The quality of a silent FPI's values, end to end over the pty and a
// master: with offline_quality, supervision taking an FPI offline reports
// each of its values at once with NT (not topical), interrogation and
// cyclic transmission carry NT, and the FPI's next telegram brings each
// value it carries back to quality 0, reported spontaneously even when the
// value is the same. SLAVE_STATUS stays good throughout. The supervision
// passes run on the test's own thread after the fake clock was moved.
#include <map>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "fpi/supervision.h"
#include "outstation/reporting.h"
#include "tests/radio/radio.h"

namespace {

using radio_test::fake_monotonic_clock;
using radio_test::frame_bytes;
using radio_test::master_online;
using radio_test::radio_gateway;
using station_test::master;
using test_support::wait_until;

constexpr uint64_t start_ms = 10'000'000;  // the fake monotonic clock when a gateway starts
constexpr int slave = 2;
constexpr uint8_t period = 1;  // minutes: offline 4 minutes after the last telegram
constexpr uint32_t slave_status = slave * 100 + 25;
constexpr uint8_t nt = 0x40;

// A wake-up with the period, and a current the event below repeats.
rf::wakeup_data wakeup() {
    rf::wakeup_data w;
    w.period = period;
    w.i_mean = 10;
    w.battery_v = 36;
    return w;
}

struct object {
    int32_t value;
    uint8_t quality;
    bool operator==(const object&) const = default;
};

// The objects of FPI 2's IOAs (200-299) that arrived with `cot`, the last of
// each IOA; a short float as ten times its value.
std::map<uint32_t, object> objects(const std::vector<iec104::Asdu>& asdus, const iec104::AppLayerParameters& app,
                                   uint8_t cot) {
    std::map<uint32_t, object> out;
    for (const iec104::Asdu& a : asdus) {
        if (a.cot != cot) continue;
        for (int i = 0; i < a.count; ++i) {
            const auto o = iec104::get_object(a, app, i);
            if (!o || o->ioa / 100 != slave) continue;
            const bool real = a.type == iec104::M_ME_NC_1 || a.type == iec104::M_ME_TF_1;
            out[o->ioa] = {real ? int32_t(o->real * 10) : o->value, o->quality};
        }
    }
    return out;
}

// The same values, every one with `quality` except SLAVE_STATUS, which is good.
std::map<uint32_t, object> with_quality(std::map<uint32_t, object> values, uint8_t quality) {
    for (auto& [ioa, o] : values) o.quality = ioa == slave_status ? 0 : quality;
    return values;
}

std::map<uint32_t, object> only(const std::map<uint32_t, object>& values, const std::set<uint32_t>& ioas) {
    std::map<uint32_t, object> out;
    for (uint32_t ioa : ioas) out[ioa] = values.at(ioa);
    return out;
}

TEST(OfflineQuality, NotTopicalFromOfflineUntilTheNextTelegramCarriesTheValue) {
    for (const int32_t option : {0, 1}) {
        SCOPED_TRACE(option);
        radio_gateway gw([option](config::config& c) { c.settings.offline_quality = option; });
        ASSERT_TRUE(gw.ok);
        master m(gw.port());
        ASSERT_TRUE(m.started);
        ASSERT_TRUE(master_online(gw.g.station));
        gw.send(frame_bytes(rf::CMD_WAKEUP_NOTSET, wakeup(), slave));
        ASSERT_TRUE(gw.next_downlink());
        std::map<uint32_t, object> live;
        ASSERT_TRUE(wait_until([&] {
            live = objects(m.interrogate(), m.app, iec104::COT_INTERROGATED_BY_STATION);
            return live.size() == 27;  // every row but INFOSET_STATUS
        }));
        EXPECT_EQ(live, with_quality(live, 0));
        EXPECT_EQ(live.at(slave_status), (object{1, 0}));

        // Offline: SLAVE_STATUS goes to 0, good; with the option every other
        // value is reported at once with its last value and NT.
        m.clear();
        fpi::supervision_state s;
        fake_monotonic_clock::now = start_ms + (period + 1) * 120000;
        fpi::supervision_pass(gw.g.fpis, s);
        std::map<uint32_t, object> offline = live;
        offline[slave_status] = {0, 0};
        offline = with_quality(offline, option ? nt : 0);
        const std::map<uint32_t, object> reported = option ? offline : only(offline, {slave_status});
        EXPECT_TRUE(wait_until([&] { return objects(m.received(), m.app, iec104::COT_SPONTANEOUS) == reported; }))
            << objects(m.received(), m.app, iec104::COT_SPONTANEOUS).size();
        EXPECT_EQ(objects(m.interrogate(), m.app, iec104::COT_INTERROGATED_BY_STATION), offline);
        m.clear();
        outstation::cyclic_transmission(gw.g.station);
        EXPECT_TRUE(wait_until([&] { return objects(m.received(), m.app, iec104::COT_PERIODIC) == offline; }));
        fpi::supervision_pass(gw.g.fpis, s);  // already offline: nothing more

        // An event telegram carries the measurements, FAULT, SLAVE_STATUS
        // and RESET: those are good again, reported even where the value is
        // unchanged; the parameters it does not carry keep NT.
        m.clear();
        rf::event_data e = radio_test::ordinary_event();
        e.i_mean = 10;  // as before
        gw.send(frame_bytes(rf::CMD_EVENT_DATA, e, slave));
        ASSERT_TRUE(gw.next_downlink());
        std::set<uint32_t> carried;
        for (uint32_t row = 0; row <= 14; ++row) carried.insert(slave * 100 + row);
        for (uint32_t row : {24u, 25u, 26u}) carried.insert(slave * 100 + row);
        // The telegram's rows are published in row order: SLAVE_STATUS
        // (changed) and, with the option, RESET (good again) come last.
        std::map<uint32_t, object> spontaneous;
        ASSERT_TRUE(wait_until([&] {
            spontaneous = objects(m.received(), m.app, iec104::COT_SPONTANEOUS);
            return spontaneous.contains(slave_status) && (!option || spontaneous.contains(slave * 100 + 26));
        }));
        const std::map<uint32_t, object> after_event =
            objects(m.interrogate(), m.app, iec104::COT_INTERROGATED_BY_STATION);
        EXPECT_EQ(after_event.at(slave_status), (object{1, 0}));
        for (const auto& [ioa, o] : after_event)
            EXPECT_EQ(o.quality, option && !carried.contains(ioa) ? nt : 0) << ioa;
        if (option) {
            EXPECT_EQ(spontaneous, only(after_event, carried));
            EXPECT_EQ(spontaneous.at(200 + 7), (object{100, 0})) << "I_MEAN 10.0, unchanged, reported good";
        } else {
            EXPECT_FALSE(spontaneous.contains(200 + 7));
        }

        // A wake-up carries every parameter as well: nothing stays NT.
        gw.send(frame_bytes(rf::CMD_WAKEUP_NOTSET, wakeup(), slave));
        ASSERT_TRUE(gw.next_downlink());
        ASSERT_TRUE(wait_until([&] {
            const auto values = objects(m.interrogate(), m.app, iec104::COT_INTERROGATED_BY_STATION);
            return values == with_quality(values, 0);
        }));
    }
}

}  // namespace
