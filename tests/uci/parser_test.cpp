#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "lib/uci/uci.h"
#include "tests/support/temp_dir.h"

namespace {

uci::package parse_ok(const std::string& text) {
    uci::error err;
    auto pkg = uci::parse(text, "test", "test", err);
    EXPECT_TRUE(pkg) << err.describe();
    return pkg ? *pkg : uci::package{};
}

std::vector<std::string> values(const uci::section& s, const char* name) {
    const uci::option* o = s.find(name);
    return o ? o->values : std::vector<std::string>{};
}

// A file of the kind OpenWrt ships: package line, named and anonymous
// sections, every quoting style, comments, lists and blank lines.
TEST(UciParser, ReadsAnOpenWrtStyleFile) {
    const char* text = R"(
# /etc/config/network
package network

config interface 'loopback'
	option ifname	'lo'
	option proto 'static'
	option ipaddr "127.0.0.1"   # trailing comment
	option netmask 255.0.0.0

config interface lan
	option type bridge
	list dns '8.8.8.8'
	list dns "8.8.4.4"
	list dns 1.1.1.1

config rule
	option src 'wan'  
	option target ACCEPT

	# comment between options
config rule
	option src lan
)";
    uci::package pkg = parse_ok(text);
    EXPECT_EQ(pkg.name, "network");
    ASSERT_EQ(pkg.sections.size(), 4u);

    const uci::section& lo = pkg.sections[0];
    EXPECT_EQ(lo.type, "interface");
    EXPECT_EQ(lo.name, "loopback");
    EXPECT_FALSE(lo.anonymous);
    EXPECT_EQ(values(lo, "ifname"), std::vector<std::string>{"lo"});
    EXPECT_EQ(values(lo, "ipaddr"), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(values(lo, "netmask"), std::vector<std::string>{"255.0.0.0"});
    EXPECT_FALSE(lo.find("ipaddr")->is_list);

    const uci::section& lan = pkg.sections[1];
    EXPECT_EQ(lan.name, "lan");
    ASSERT_NE(lan.find("dns"), nullptr);
    EXPECT_TRUE(lan.find("dns")->is_list);
    EXPECT_EQ(values(lan, "dns"), (std::vector<std::string>{"8.8.8.8", "8.8.4.4", "1.1.1.1"}));

    EXPECT_TRUE(pkg.sections[2].anonymous);
    EXPECT_EQ(values(pkg.sections[2], "src"), std::vector<std::string>{"wan"});
    EXPECT_EQ(values(pkg.sections[2], "target"), std::vector<std::string>{"ACCEPT"});
    EXPECT_EQ(values(pkg.sections[3], "src"), std::vector<std::string>{"lan"});

    // Older releases quote everything, type and option names included; a file
    // edited on Windows has CRLF line ends.
    uci::package old = parse_ok(
        "config 'interface' 'wan'\r\n"
        "\toption 'proto' 'dhcp'\r\n"
        "\tlist 'dns' '9.9.9.9'\t# resolver\r\n"
        "\r\n"
        "config 'rule'\r\n"
        "\toption \"name\" \"Allow-Ping\"\r\n");
    ASSERT_EQ(old.sections.size(), 2u);
    EXPECT_EQ(old.sections[0].type, "interface");
    EXPECT_EQ(old.sections[0].name, "wan");
    EXPECT_EQ(values(old.sections[0], "proto"), std::vector<std::string>{"dhcp"});
    EXPECT_EQ(values(old.sections[0], "dns"), std::vector<std::string>{"9.9.9.9"});
    EXPECT_TRUE(old.sections[1].anonymous);
    EXPECT_EQ(old.sections[1].type, "rule");
    EXPECT_EQ(values(old.sections[1], "name"), std::vector<std::string>{"Allow-Ping"});
}

TEST(UciParser, ValueSyntax) {
    struct {
        const char* written;
        const char* value;
    } cases[] = {
        {"plain", "plain"},
        {"'with spaces  inside'", "with spaces  inside"},
        {"\"double quoted\"", "double quoted"},
        {"''", ""},
        {"\"\"", ""},
        {R"("say \"hi\"")", "say \"hi\""},
        {R"("back\\slash")", "back\\slash"},
        {R"('no \escape in single')", "no \\escape in single"},
        {R"(two\ words)", "two words"},
        {R"('a'"b"c)", "abc"},
        {"\"hash # inside\"", "hash # inside"},
        {"'hash # inside'", "hash # inside"},
        {"value#comment", "value"},
        {"'quoted'#comment", "quoted"},
        {"12\\#3", "12#3"},
        {"'multi\nline'", "multi\nline"},
        {"\"joined \\\nline\"", "joined line"},
    };
    for (const auto& c : cases) {
        std::string text = std::string("config t s\n\toption v ") + c.written + "\n\toption after 1\n";
        uci::package pkg = parse_ok(text);
        ASSERT_EQ(pkg.sections.size(), 1u) << c.written;
        EXPECT_EQ(values(pkg.sections[0], "v"), std::vector<std::string>{c.value}) << c.written;
        EXPECT_EQ(values(pkg.sections[0], "after"), std::vector<std::string>{"1"}) << c.written;
    }
}

TEST(UciParser, LaterOptionReplacesAndListExtends) {
    uci::package pkg = parse_ok(
        "config t s\n"
        "\toption a 1\n\toption a 2\n"        // replaced
        "\tlist b x\n\tlist b y\n"             // list of two
        "\toption c one\n\tlist c two\n"      // a list added to an option keeps it first
        "\tlist d x\n\toption d z\n"           // an option replaces a list
        "config t s\n\toption e more\n");     // the same name continues the section
    ASSERT_EQ(pkg.sections.size(), 1u);
    const uci::section& s = pkg.sections[0];
    EXPECT_EQ(values(s, "a"), std::vector<std::string>{"2"});
    EXPECT_EQ(values(s, "b"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(values(s, "c"), (std::vector<std::string>{"one", "two"}));
    EXPECT_TRUE(s.find("c")->is_list);
    EXPECT_EQ(values(s, "d"), std::vector<std::string>{"z"});
    EXPECT_FALSE(s.find("d")->is_list);
    EXPECT_EQ(values(s, "e"), std::vector<std::string>{"more"});
}

TEST(UciParser, AnonymousSectionsGetDistinctStableNames) {
    const char* text = "config rule\n\toption a 1\nconfig rule\n\toption a 1\nconfig rule ''\n"
                       "config other named\n";
    uci::package first = parse_ok(text);
    uci::package again = parse_ok(text);
    ASSERT_EQ(first.sections.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        const std::string& name = first.sections[size_t(i)].name;
        EXPECT_TRUE(first.sections[size_t(i)].anonymous);
        EXPECT_EQ(name.rfind("cfg", 0), 0u) << name;
        EXPECT_EQ(name.size(), 9u) << name;
        EXPECT_EQ(name, again.sections[size_t(i)].name);  // same file, same names
    }
    EXPECT_NE(first.sections[0].name, first.sections[1].name);  // identical content
    EXPECT_NE(first.sections[1].name, first.sections[2].name);
    EXPECT_EQ(first.sections[3].name, "named");
}

TEST(UciParser, SyntaxErrorsNameTheLine) {
    struct {
        const char* text;
        int line;
        const char* message;
    } cases[] = {
        {"\n\toption a 1\n", 2, "outside of a section"},
        {"config t s\n\n\tfrobnicate a 1\n", 3, "invalid command 'frobnicate'"},
        {"config t s\n\toption a 'open\n\n", 2, "unterminated single quote"},
        {"config t s\n\toption a \"open\n", 2, "unterminated double quote"},
        {"config\n", 1, "config takes"},
        {"config t s extra\n", 1, "config takes"},
        {"config t s\n\toption a\n", 2, "takes a name and one value"},
        {"config t s\n\toption a b c\n", 2, "takes a name and one value"},
        {"config t s\n\tlist a\n", 2, "takes a name and one value"},
        {"config t 'bad name'\n", 1, "invalid section name"},
        {"config 'bad type' s\n", 1, "invalid section type"},
        {"config t s\n\toption 'bad-name' 1\n", 2, "invalid option name"},
        {"package\n", 1, "package takes one name"},
    };
    for (const auto& c : cases) {
        uci::error err;
        EXPECT_FALSE(uci::parse(c.text, "/etc/config/x", "x", err)) << c.text;
        EXPECT_EQ(err.line, c.line) << c.text;
        EXPECT_NE(err.message.find(c.message), std::string::npos) << c.text << " -> " << err.message;
        EXPECT_EQ(err.describe().rfind("/etc/config/x:" + std::to_string(c.line) + ": ", 0), 0u)
            << err.describe();
    }
}

using test_support::temp_dir;

TEST(UciLoad, ReadsThePackageFileOfTheDirectory) {
    temp_dir dir;
    std::ofstream(dir.path / "fpigate") << "config iec104_slave\n\toption k 12\n";
    uci::error err;
    auto pkg = uci::load(dir.path.string(), "fpigate", err);
    ASSERT_TRUE(pkg) << err.describe();
    EXPECT_EQ(pkg->name, "fpigate");
    ASSERT_EQ(pkg->sections.size(), 1u);
    EXPECT_EQ(pkg->sections[0].type, "iec104_slave");
}

TEST(UciLoad, ReportsMissingFilesAndSyntaxErrorsWithThePath) {
    temp_dir dir;
    uci::error err;
    EXPECT_FALSE(uci::load(dir.path.string(), "fpigate", err));
    EXPECT_EQ(err.describe(), (dir.path / "fpigate").string() + ": No such file or directory");

    EXPECT_FALSE(uci::load((dir.path / "missing-dir").string(), "fpigate", err));
    EXPECT_EQ(err.line, 0);

    std::ofstream(dir.path / "fpigate") << "config t s\n\toption a 1\n\toption b\n";
    EXPECT_FALSE(uci::load(dir.path.string() + "/", "fpigate", err));
    EXPECT_EQ(err.file, (dir.path / "fpigate").string());
    EXPECT_EQ(err.line, 3);

    std::filesystem::create_directory(dir.path / "sub");
    std::filesystem::create_directory(dir.path / "sub" / "fpigate");
    EXPECT_FALSE(uci::load((dir.path / "sub").string(), "fpigate", err));
}

}  // namespace
