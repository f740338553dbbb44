// What a master's connection costs the gateway's files: nothing on the
// master's own path. Its connection thread, the listener and the
// communication log's thread only queue entries; the log writer alone writes
// and syncs the files.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "daemon/comm_log.h"
#include "lib/iec104/commands.h"
#include "logs/csv_export.h"
#include "logs/writer.h"
#include "tests/radio/radio.h"
#include "tests/support/capture.h"

namespace {

using radio_test::radio_gateway;
using station_test::master;
using test_support::wait_until;

// Every file of a folder (not its subfolders) by name, with its contents.
std::map<std::string, std::string> contents_of(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        out[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

uint64_t entries_queued(logs::log_stores& stores) {
    std::lock_guard lk(stores.writer.m);
    return stores.writer.queued;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The writer thread is stopped first, so whatever is queued stays queued
// until the test's own log_flush writes it. Any write or sync on a thread of
// the master's path (a ring_log_append, a log_flush or a replace_file called
// there rather than queued) would change a file before that flush, and the
// comparison below would see it; a thread that waited for the writer instead
// would never send its confirmation.
TEST(MasterPath, AParameterWriteAndAConnectionLeaveTheFilesToTheWriter) {
    radio_gateway gw;
    ASSERT_TRUE(gw.ok);
    logs::log_writer_stop(gw.g.stores);  // what start-up queued is written; the thread ends
    const std::string dir = gw.cfg->settings.data_dir;
    const auto before = contents_of(dir);
    ASSERT_TRUE(before.count("rf_fpi_data.bin") && before.count("communication_event_data.bin"));
    const uint64_t queued_before = entries_queued(gw.g.stores);
    {
        master m(gw.port());
        ASSERT_TRUE(m.started);
        // FPI 4's Di/Dt level (IOA 430, scaled): the first write of a set,
        // reported to the recent RF data list and the RF log
        ASSERT_TRUE(m.send(iec104::set_point_scaled(m.app, 1, 430, 300)));
        ASSERT_TRUE(wait_until([&] {
            return m.count([](const iec104::Asdu& a) {
                       return a.type == iec104::C_SE_NB_1 && a.cot == iec104::COT_ACTIVATION_CON && !a.negative;
                   }) == 1;
        }));
    }
    // two infoset statuses; the connection opened, activated and closed
    ASSERT_TRUE(wait_until([&] { return entries_queued(gw.g.stores) >= queued_before + 5; }));
    ASSERT_TRUE(fpigate::comm_logger_wait_idle(gw.g.comm_log, 20000));
    EXPECT_TRUE(contents_of(dir) == before) << "a file changed before the writer ran";
    ASSERT_FALSE(gw.recent().empty());  // the list in memory has it at once
    EXPECT_EQ(gw.recent().front().error_msg, "Slave 4 infoset status: 0");

    logs::log_flush(gw.g.stores);
    const auto after = contents_of(dir);
    EXPECT_NE(after.at("rf_fpi_data.bin"), before.at("rf_fpi_data.bin"));
    EXPECT_NE(after.at("communication_event_data.bin"), before.at("communication_event_data.bin"));
    test_support::stream_tap quiet(stdout, "/dev/null");  // the exports' summary lines
    const std::string rf_csv = gw.dir / "rf.csv", comm_csv = gw.dir / "comm.csv";
    EXPECT_EQ(logs::rf_fpi_db_export_csv(gw.g.stores, rf_csv), 2);
    EXPECT_EQ(logs::comm_event_db_export_csv(gw.g.stores, comm_csv), 3);
    const std::string rf_rows = file_text(rf_csv), comm_rows = file_text(comm_csv);
    EXPECT_NE(rf_rows.find("\"Slave 4 infoset status: 1\""), std::string::npos) << rf_rows;
    EXPECT_NE(rf_rows.find("\"Slave 4 infoset status: 0\""), std::string::npos) << rf_rows;
    for (const char* word : {"Connection opened with 127.0.0.1:", "Connection activated with 127.0.0.1:",
                             "Connection closed with 127.0.0.1:"})
        EXPECT_NE(comm_rows.find(word), std::string::npos) << comm_rows;
}

}  // namespace
