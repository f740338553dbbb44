// A session recorded APDU by APDU as the master saw it, written as a pcap
// file and decoded by Wireshark's IEC 60870-5-104 dissector: no malformed
// packet, no expert warning or error, every APDU recognised and every ASDU's
// type read back as sent.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lib/iec104/asdu.h"
#include "tests/iec104/pcap_writer.h"
#include "tests/iec104/run_command.h"
#include "tests/support/master.h"

namespace test {

inline bool have_tshark() {
    int status;
    run_command("command -v tshark >/dev/null 2>&1", status);
    return status == 0;
}

// What the client's tap saw: each APDU, outgoing (from the master) or not.
struct ApduRecord {
    std::mutex mutex;
    std::vector<std::pair<bool, std::vector<uint8_t>>> apdus;

    // For ClientHandlers::tap.
    auto tap() {
        return [this](bool outgoing, std::span<const uint8_t> apdu) {
            std::lock_guard lock(mutex);
            apdus.emplace_back(outgoing, std::vector<uint8_t>(apdu.begin(), apdu.end()));
        };
    }
    int i_frames() {
        std::lock_guard lock(mutex);
        return int(std::count_if(apdus.begin(), apdus.end(), [](const auto& a) { return (a.second[2] & 1) == 0; }));
    }
};

// One field of the packets a display filter selects, as tshark prints it:
// a line a packet, several values of one packet separated by commas.
inline std::string tshark_field(const std::string& pcap, const std::string& filter, const std::string& field) {
    int status;
    return run_command("tshark -n -r " + pcap + " -Y " + filter + " -T fields -e " + field + " 2>/dev/null", status);
}

// A master on loopback whose APDUs are recorded, counting the ASDUs it
// receives (and handing each to `on_asdu` when set).
struct RecordedMaster {
    ApduRecord record;
    std::atomic<int> received{0};
    std::function<void(const iec104::Asdu&)> on_asdu;
    iec104::ClientPtr client;  // last: its thread calls into the members above

    // Connects and starts data transfer; false with `error` set.
    bool connect(uint16_t port, std::string& error) {
        iec104::ClientHandlers h;
        h.tap = record.tap();
        h.asdu = [this](const iec104::Asdu& a) {
            if (on_asdu) on_asdu(a);
            ++received;
        };
        return test_support::connect_master(client, port, std::move(h), error);
    }
    // STOPDT confirmed, then the connection closed.
    bool stop_and_close() {
        const bool stopped = iec104::client_stop_dt(*client, 5000);
        iec104::client_close(*client);
        return stopped;
    }
};

// Writes the record to `pcap` and checks tshark's reading of it; returns the
// type identifications tshark read, one a line.
inline std::string expect_tshark_decodes(ApduRecord& record, const std::string& pcap) {
    std::lock_guard lock(record.mutex);
    {
        PcapWriter w(pcap);
        EXPECT_TRUE(w.ok());
        for (auto& [outgoing, bytes] : record.apdus) w.apdu(outgoing, bytes);
    }
    int status;
    const std::string bad = run_command(
        "tshark -n -r " + pcap + " -Y '_ws.malformed || _ws.expert.severity >= \"Warning\"' 2>/dev/null", status);
    EXPECT_EQ(status, 0) << bad;
    EXPECT_EQ(bad, "") << "malformed or expert-flagged packets";

    const std::string apci = tshark_field(pcap, "iec60870_104", "iec60870_104.type");
    EXPECT_EQ(std::count(apci.begin(), apci.end(), '\n'), std::ptrdiff_t(record.apdus.size()));
    const std::string types = tshark_field(pcap, "iec60870_asdu", "iec60870_asdu.typeid");
    std::string expected;
    for (auto& [outgoing, bytes] : record.apdus)
        if ((bytes[2] & 1) == 0) expected += std::to_string(bytes[6]) + "\n";
    EXPECT_EQ(types, expected);
    return types;
}

// After expect_tshark_decodes: tshark reads the IOA of every object of every
// ASDU as our decoder does (`app`: the session's application layer).
inline void expect_tshark_reads_every_ioa(ApduRecord& record, const std::string& pcap,
                                          const iec104::AppLayerParameters& app) {
    std::string expected;
    {
        std::lock_guard lock(record.mutex);
        for (auto& [outgoing, bytes] : record.apdus) {
            if ((bytes[2] & 1) != 0) continue;
            iec104::Asdu a;
            EXPECT_EQ(iec104::decode_asdu(std::span<const uint8_t>(bytes).subspan(6), app, a), iec104::DecodeError::ok);
            for (int i = 0; i < a.count; ++i)
                expected += (i ? "," : "") + std::to_string(iec104::get_object(a, app, i)->ioa);
            expected += "\n";
        }
    }
    EXPECT_EQ(tshark_field(pcap, "iec60870_asdu", "iec60870_asdu.ioa"), expected);
}

}  // namespace test
