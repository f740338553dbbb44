#include <gtest/gtest.h>

#include "core/address_range.h"
#include "config/config_load.h"
#include "tests/support/capture.h"

using test_support::captured_output;

namespace {

struct loaded {
    std::unique_ptr<config::config> cfg = std::make_unique<config::config>();
    bool ok = false;
    std::string out;
    std::string problem;
};

loaded load_text(const std::string& text) {
    loaded l;
    uci::error err;
    auto pkg = uci::parse(text, "fpigate", "fpigate", err);
    EXPECT_TRUE(pkg) << err.describe();
    if (!pkg) return l;
    captured_output out;
    l.ok = config::config_from_package(*pkg, *l.cfg, out.file, l.problem);
    l.out = out.text();
    return l;
}

TEST(ConfigLoad, PrintsTheSummaryOfTheSection) {
    loaded l = load_text(
        "config iec104_slave main\n"
        "\toption cyclic_time_interval 60\n\toption k 12\n\toption w 8\n\toption t0 10\n"
        "\toption t1 15\n\toption t2 10\n\toption t3 20\n\toption sizeof_cot 2\n"
        "\toption sizeof_ca 2\n\toption oa 3\n\toption ca 1\n\toption sizeof_ioa 3\n"
        "\toption max_asdu_length 249\n\toption group_id 0102030405\n\toption rtu_id 10\n");
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.out,
              "New modbus_to_104 section\n\tcyclic_interval: 60\n\tk: 12\n\tw: 8\n\tto: 10\n"
              "\tt1: 15\n\tt2: 10\n\tt3: 20\n\tsize of cot: 2\n\tsize of ca: 2\n\toa: 3\n"
              "\tca: 1\n\tsize of ioa: 3\n\tsize of max asdu length: 249\n"
              "\tGroup ID: 0102030405\n\tRTU ID: 10\n"
              "\nLocation from cfg:\n"
              "\nConverted Group ID: {0x01, 0x02, 0x03, 0x04, 0x05}\n");
}

TEST(ConfigLoad, IntegerOptionsFollowTheirBase) {
    struct {
        const char* written;
        int32_t k;
    } cases[] = {{"012", 10}, {"0x0C", 12}, {"12abc", 0}, {"08", 0}, {"'12'", 12}, {"-3", -3}};
    for (const auto& c : cases) {
        loaded l = load_text(std::string("config iec104_slave\n\toption k ") + c.written + "\n");
        ASSERT_TRUE(l.ok);
        EXPECT_EQ(l.cfg->settings.k, c.k) << c.written;
    }
}

TEST(ConfigLoad, DerivesTimeoutsAndIds) {
    loaded l = load_text(
        "config iec104_slave\n\toption infoset_param_timeout 300\n"
        "\toption infoset_wakeup_fallback_timeout 3600\n\toption infoset_ack_timeout 10\n"
        "\toption flash_transmit_period 60\n\toption rtu_id 0x1000A\n\toption asdu_time_offset -330\n");
    ASSERT_TRUE(l.ok);
    const config::derived_settings& d = l.cfg->derived;
    EXPECT_EQ(d.infoset_param_timeout_ms, 300000);
    EXPECT_EQ(d.infoset_wakeup_fallback_timeout_ms, 3600000);
    EXPECT_EQ(d.infoset_ack_timeout, 10);
    EXPECT_EQ(d.flash_transmit_period_ms, 60000);
    EXPECT_EQ(d.rtu_id, 10);  // low 16 bits
    EXPECT_EQ(d.asdu_time_offset, -330);
    EXPECT_EQ(d.group_id_bytes, (std::array<uint8_t, 5>{}));  // no group_id: zero, no line
    EXPECT_EQ(l.out.find("Converted Group ID"), std::string::npos);
}

TEST(ConfigLoad, LocationsOfExactlyTwentyCharactersCount) {
    loaded l = load_text(
        "config iec104_slave\n"
        "\tlist location 'ABCDEFGHIJKLMNOPQRST'\n"
        "\tlist location 'ABCDEFGHIJKLMNOPQRS'\n"    // 19 characters
        "\tlist location 'abcdefghij klmnopqrs'\n");
    ASSERT_TRUE(l.ok);
    const config::derived_settings& d = l.cfg->derived;
    EXPECT_EQ(d.location_count, 3);
    EXPECT_EQ(d.locations[0], "ABCDEFGHIJKLMNOPQRST");
    EXPECT_FALSE(d.locations[1]);
    EXPECT_EQ(d.locations[2], "abcdefghij klmnopqrs");
    EXPECT_FALSE(d.locations[3]);
    EXPECT_NE(l.out.find("\nLocation from cfg:\n"
                         "Slave 1 location: A B C D E F G H I J K L M N O P Q R S T \n"
                         "Slave 3 location: a b c d e f g h i j   k l m n o p q r s \n"),
              std::string::npos)
        << l.out;
}

TEST(ConfigLoad, MoreThanTwentyLocationsAreCutWithAWarning) {
    std::string text = "config iec104_slave\n";
    for (int i = 1; i <= 23; ++i) {
        char loc[32];
        std::snprintf(loc, sizeof loc, "LOCATION-NUMBER-%04d", i);
        text += std::string("\tlist location '") + loc + "'\n";
    }
    loaded l = load_text(text);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.cfg->derived.location_count, 20);
    EXPECT_EQ(l.cfg->derived.locations[19], "LOCATION-NUMBER-0020");
    EXPECT_NE(l.out.find("23 location values configured, only the first 20 are used\n"),
              std::string::npos);
    EXPECT_NE(l.out.find("Slave 20 location: "), std::string::npos);
    EXPECT_EQ(l.out.find("Slave 21 location: "), std::string::npos);
}

TEST(ConfigLoad, GroupIdConversion) {
    struct {
        const char* text;
        std::array<uint8_t, 5> bytes;
    } cases[] = {
        {"0102030405", {0x01, 0x02, 0x03, 0x04, 0x05}},
        {"ABC", {0x00, 0x00, 0x00, 0x0A, 0xBC}},
        {"0xabc", {0x00, 0x00, 0x00, 0x0A, 0xBC}},
        {"FF0102030405", {0x01, 0x02, 0x03, 0x04, 0x05}},            // last ten digits
        {"123456789ABCDEF0102030405", {0x01, 0x02, 0x03, 0x04, 0x05}},  // beyond 64 bits too
        {"0102zz0405", {0x00, 0x00, 0x00, 0x01, 0x02}},              // stops at a non-digit
        {"zz", {0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) EXPECT_EQ(config::convert_group_id(c.text), c.bytes) << c.text;

    loaded l = load_text("config iec104_slave\n\toption group_id ABC\n");
    EXPECT_EQ(l.cfg->derived.group_id_bytes, (std::array<uint8_t, 5>{0, 0, 0, 0x0A, 0xBC}));
    EXPECT_NE(l.out.find("\nConverted Group ID: {0x00, 0x00, 0x00, 0x0A, 0xBC}\n"),
              std::string::npos);
}

TEST(ConfigLoad, TheLastOfSeveralSectionsIsInForce) {
    loaded l = load_text(
        "config iec104_slave first\n\toption k 1\n\toption group_id 01\n\tlist location 'ABCDEFGHIJKLMNOPQRST'\n"
        "config iec104_slave second\n\toption k 2\n");
    ASSERT_TRUE(l.ok);
    ASSERT_EQ(l.cfg->slaves.size(), 2u);
    EXPECT_EQ(l.cfg->settings.name, "second");
    EXPECT_EQ(l.cfg->settings.k, 2);
    // the derived settings are those of the second section only
    EXPECT_EQ(l.cfg->derived.location_count, 0);
    EXPECT_FALSE(l.cfg->derived.locations[0]);
    EXPECT_EQ(l.cfg->derived.group_id_bytes, (std::array<uint8_t, 5>{}));
    size_t first = l.out.find("New modbus_to_104 section\n\tcyclic_interval: 0\n\tk: 1\n");
    size_t second = l.out.find("New modbus_to_104 section\n\tcyclic_interval: 0\n\tk: 2\n");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_NE(l.out.find("\tGroup ID: (null)\n"), std::string::npos);  // absent group_id
}

TEST(ConfigLoad, ConnectionSlotsAreLimited) {
    struct {
        const char* written;
        int32_t slots;
        bool warned;
    } cases[] = {{"5", 5, false}, {"50", 50, false}, {"51", 50, true}, {"1000", 50, true},
                 {"-1", 0, true}};
    for (const auto& c : cases) {
        loaded l = load_text(std::string("config iec104_slave\n\toption no_of_connections ") +
                             c.written + "\n");
        EXPECT_EQ(l.cfg->settings.no_of_connections, c.slots) << c.written;
        EXPECT_EQ(l.out.find("no_of_connections") != std::string::npos, c.warned) << c.written;
    }
}

// The bounds of the logs' data files, in KiB: a value below 64 is raised to
// 64 with a line naming it; without the options the defaults hold.
TEST(ConfigLoad, LogBoundsBelowSixtyFourAreRaisedWithALine) {
    struct {
        const char* options;
        int32_t rf, system, comm;
        const char* line;  // nullptr: nothing said about a bound
    } cases[] = {
        {"", 4096, 256, 1024, nullptr},
        {"\toption rf_log_limit_kb '8192'\n\toption system_log_limit_kb '512'\n\toption comm_log_limit_kb '2048'\n",
         8192, 512, 2048, nullptr},
        {"\toption system_log_limit_kb 64\n", 4096, 64, 1024, nullptr},
        {"\toption system_log_limit_kb 63\n", 4096, 64, 1024, "system_log_limit_kb 63 below 64, using 64\n"},
        {"\toption rf_log_limit_kb 0\n", 64, 256, 1024, "rf_log_limit_kb 0 below 64, using 64\n"},
        {"\toption comm_log_limit_kb -8\n", 4096, 256, 64, "comm_log_limit_kb -8 below 64, using 64\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        loaded l = load_text(std::string("config iec104_slave\n") + c.options);
        ASSERT_TRUE(l.ok);
        EXPECT_EQ(l.cfg->settings.rf_log_limit_kb, c.rf);
        EXPECT_EQ(l.cfg->settings.system_log_limit_kb, c.system);
        EXPECT_EQ(l.cfg->settings.comm_log_limit_kb, c.comm);
        const size_t said = l.out.find("below 64");
        if (c.line) {
            EXPECT_NE(l.out.find(c.line), std::string::npos) << l.out;
            EXPECT_EQ(l.out.find("below 64", said + 1), std::string::npos) << l.out;  // that line only
        } else {
            EXPECT_EQ(said, std::string::npos) << l.out;
        }
    }
}

TEST(ConfigLoad, HostRunOptionsHaveTheGatewayDefaults) {
    loaded l = load_text("config iec104_slave\n");
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.cfg->settings.data_dir, "/root");
    EXPECT_EQ(l.cfg->settings.export_dir, "/tmp");
    EXPECT_EQ(l.cfg->settings.port, 2404);
    EXPECT_EQ(l.cfg->settings.gpio_chip, "gpiochip0");
    EXPECT_EQ(l.cfg->settings.ubus_socket, "/var/run/ubus/ubus.sock");
    EXPECT_FALSE(l.cfg->settings.rtu_port);

    l = load_text(
        "config iec104_slave\n\toption data_dir /srv/d\n\toption export_dir /srv/e\n"
        "\toption port 12404\n\toption gpio_chip 'sim:/srv/gpio'\n\toption ubus_socket /srv/u.sock\n"
        "\toption rtu_port /dev/ttyUSB0\n");
    EXPECT_EQ(l.cfg->settings.data_dir, "/srv/d");
    EXPECT_EQ(l.cfg->settings.export_dir, "/srv/e");
    EXPECT_EQ(l.cfg->settings.port, 12404);
    EXPECT_EQ(l.cfg->settings.gpio_chip, "sim:/srv/gpio");
    EXPECT_EQ(l.cfg->settings.ubus_socket, "/srv/u.sock");
    EXPECT_EQ(l.cfg->settings.rtu_port, "/dev/ttyUSB0");
}

TEST(ConfigLoad, DataPointSectionsAndTheirNames) {
    loaded l = load_text(
        "config iec104_slave\n"
        "config iec104_ioas\n\toption gpio_type digital_input\n\toption ioa 1\n\toption type_id 30\n"
        "\toption address 10\n"
        "config fpi_iec104_ioas 'fpi1_status'\n\toption slave_id 1\n\toption ioa_name I_Status\n"
        "\toption ioa 100\n\toption type_id 35\n"
        "config fpi_iec104_ioas\n\toption name 'given'\n\toption slave_id 2\n"
        "config fpi_aux_iec104_ioas lat\n\toption ioa_name LATITUDE\n\toption ioa 1001\n"
        "\toption type_id 36\n\toption ioa_value '52.5'\n"
        "config unrelated x\n\toption ioa 5\n");
    ASSERT_TRUE(l.ok);
    ASSERT_EQ(l.cfg->dio_points.size(), 1u);
    EXPECT_EQ(l.cfg->dio_points[0].gpio_type, "digital_input");
    EXPECT_EQ(l.cfg->dio_points[0].address, 10);
    EXPECT_EQ(l.cfg->dio_points[0].name.rfind("cfg", 0), 0u);
    ASSERT_EQ(l.cfg->fpi_points.size(), 2u);
    EXPECT_EQ(l.cfg->fpi_points[0].name, "fpi1_status");
    EXPECT_EQ(l.cfg->fpi_points[0].ioa_name, "I_Status");
    EXPECT_EQ(l.cfg->fpi_points[0].ioa, 100);
    EXPECT_EQ(l.cfg->fpi_points[0].type_id, 35);
    EXPECT_EQ(l.cfg->fpi_points[1].name, "given");
    EXPECT_EQ(l.cfg->fpi_points[1].slave_id, 2);
    EXPECT_FALSE(l.cfg->fpi_points[1].ioa_name);
    ASSERT_EQ(l.cfg->aux_points.size(), 1u);
    EXPECT_EQ(l.cfg->aux_points[0].ioa_value, "52.5");
}

TEST(ConfigLoad, DigitalOutputSettings) {
    std::string text = "config iec104_slave\n";
    // seven outputs with an input and an odd type between them
    for (int k = 1; k <= 7; ++k) {
        text += "config iec104_ioas\n\toption gpio_type digital_output\n";
        text += "\toption toggle_on " + std::to_string(k) + "\n";
        text += "\toption toggle_timeout " + std::to_string(k * 1000) + "\n";
        if (k == 2) text += "config iec104_ioas\n\toption gpio_type digital_input\n\toption toggle_on 9\n";
        if (k == 3) text += "config iec104_ioas\n\toption gpio_type Digital_Output\n\toption toggle_on 9\n";
    }
    loaded l = load_text(text);
    ASSERT_TRUE(l.ok);
    config::do_settings& dout = l.cfg->dout;
    config::fill_do_settings(l.cfg->dio_points, dout);
    EXPECT_EQ(dout.toggle_modes, (std::array<int32_t, 6>{1, 2, 3, 4, 5, 0}));
    EXPECT_EQ(dout.toggle_timeouts, (std::array<int64_t, 6>{1000, 2000, 3000, 4000, 5000, 6000}));
}

TEST(ConfigLoad, NoUsableConfiguration) {
    loaded l = load_text("config iec104_ioas\n\toption ioa 1\n");
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.out, "\nError getting configuration file\n");
    EXPECT_EQ(l.problem, "the package fpigate has no iec104_slave section");

    config::config cfg;
    std::string problem;
    captured_output out;
    EXPECT_FALSE(config::config_load(std::string("/nonexistent-fpigate-dir"), cfg, out.file, problem));
    EXPECT_EQ(out.text(), "\nError getting configuration file\n");
    EXPECT_EQ(problem, "cannot load /nonexistent-fpigate-dir/fpigate: No such file or directory");
}

// ---- the allow-list of masters and the event buffer ----

TEST(AllowedMasters, AddressesAndRanges) {
    struct {
        const char* entry;
        std::vector<const char*> in, out;
    } cases[] = {
        {"127.0.0.1", {"127.0.0.1"}, {"127.0.0.2", "127.0.0.0", "10.0.0.1"}},
        {"10.1.0.0/16", {"10.1.0.0", "10.1.255.255", "10.1.2.3"}, {"10.0.255.255", "10.2.0.0"}},
        {"192.168.7.64/26", {"192.168.7.64", "192.168.7.127"}, {"192.168.7.63", "192.168.7.128"}},
        {"203.0.113.9/32", {"203.0.113.9"}, {"203.0.113.8"}},
        {"0.0.0.0/0", {"0.0.0.0", "255.255.255.255", "127.0.0.2"}, {}},
    };
    for (const auto& c : cases) {
        const auto r = core::parse_ipv4_range(c.entry);
        ASSERT_TRUE(r) << c.entry;
        for (const char* a : c.in) EXPECT_TRUE(core::ipv4_allowed({*r}, a)) << c.entry << " " << a;
        for (const char* a : c.out) EXPECT_FALSE(core::ipv4_allowed({*r}, a)) << c.entry << " " << a;
    }
    EXPECT_FALSE(core::ipv4_allowed({*core::parse_ipv4_range("0.0.0.0/0")}, "not-an-address"));
    EXPECT_FALSE(core::ipv4_allowed({}, "127.0.0.1"));
}

TEST(AllowedMasters, MalformedEntriesAreConfigurationErrors) {
    for (const char* bad : {"", "10.0.0", "10.0.0.256", "10.0.0.1/33", "10.0.0.0/", "10.0.0.0/8x", "10.0.0.0/-1",
                            "10.0.0.1/8", "master-1", "::1", "10.0.0.1 ", "010.0.0.1"}) {
        EXPECT_FALSE(core::parse_ipv4_range(bad)) << bad;
        loaded l = load_text(std::string("config iec104_slave\n\tlist allowed_master '127.0.0.1'\n"
                                         "\tlist allowed_master '") + bad + "'\n");
        EXPECT_FALSE(l.ok) << bad;
        EXPECT_EQ(l.problem, std::string("allowed_master '") + bad + "' is not an IPv4 address or CIDR range");
    }
}

TEST(AllowedMasters, AbsentListAcceptsEveryMasterAndAnOptionCountsAsAList) {
    loaded none = load_text("config iec104_slave\n\toption port '2404'\n");
    ASSERT_TRUE(none.ok);
    EXPECT_FALSE(none.cfg->derived.allowed_masters);

    loaded list = load_text("config iec104_slave\n\tlist allowed_master '10.0.0.0/8'\n"
                            "\tlist allowed_master '127.0.0.1'\n");
    ASSERT_TRUE(list.ok) << list.problem;
    ASSERT_TRUE(list.cfg->derived.allowed_masters);
    EXPECT_EQ(list.cfg->derived.allowed_masters->size(), 2u);
    EXPECT_TRUE(core::ipv4_allowed(*list.cfg->derived.allowed_masters, "10.20.30.40"));
    EXPECT_FALSE(core::ipv4_allowed(*list.cfg->derived.allowed_masters, "127.0.0.2"));

    // a single address written as an option still restricts, never opens to all
    loaded option = load_text("config iec104_slave\n\toption allowed_master '127.0.0.1'\n");
    ASSERT_TRUE(option.ok);
    ASSERT_TRUE(option.cfg->derived.allowed_masters);
    EXPECT_FALSE(core::ipv4_allowed(*option.cfg->derived.allowed_masters, "127.0.0.2"));
}

TEST(EventBuffer, OffByDefaultAndLimited) {
    struct {
        const char* written;
        int kept;
        bool warned;
    } cases[] = {{nullptr, 0, false}, {"0", 0, false}, {"20", 20, false}, {"1000", 1000, false},
                 {"1001", 1000, true}, {"-5", 0, true}};
    for (const auto& c : cases) {
        std::string text = "config iec104_slave\n";
        if (c.written) text += std::string("\toption event_buffer ") + c.written + "\n";
        loaded l = load_text(text);
        ASSERT_TRUE(l.ok);
        EXPECT_EQ(l.cfg->derived.event_buffer, c.kept) << (c.written ? c.written : "absent");
        EXPECT_EQ(l.out.find("event_buffer") != std::string::npos, c.warned) << (c.written ? c.written : "absent");
    }
}

TEST(CommandOptions, OffByDefaultAndNeverNegative) {
    struct {
        const char* option;
        const char* written;
        int kept;
        bool warned;
    } cases[] = {{"select_timeout_ms", nullptr, 0, false}, {"select_timeout_ms", "5000", 5000, false},
                 {"select_timeout_ms", "-1", 0, true},     {"command_max_age_s", nullptr, 0, false},
                 {"command_max_age_s", "30", 30, false},   {"command_max_age_s", "-30", 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.option << " " << (c.written ? c.written : "absent"));
        std::string text = "config iec104_slave\n";
        if (c.written) text += std::string("\toption ") + c.option + " '" + c.written + "'\n";
        loaded l = load_text(text);
        ASSERT_TRUE(l.ok);
        const config::iec104_slave& s = l.cfg->settings;
        EXPECT_EQ(std::string(c.option) == "select_timeout_ms" ? s.select_timeout_ms : s.command_max_age_s, c.kept);
        EXPECT_EQ(l.out.find(std::string(c.option) + " " + (c.written ? c.written : "") + " below 0, using 0 (off)\n") !=
                      std::string::npos,
                  c.warned);
    }
}

}  // namespace
