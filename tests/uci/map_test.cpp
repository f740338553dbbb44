#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "lib/uci/map.h"

namespace {

struct record {
    std::string name;
    int32_t number = 0;
    std::optional<std::string> label;
    std::string path = "/default";
    std::vector<std::string> items;
};

const uci::field_map<record> table[] = {
    {"name", &record::name},
    {"number", &record::number},
    {"label", &record::label},
    {"path", &record::path},
    {"items", &record::items},
};

std::vector<record> map_text(const std::string& text) {
    uci::error err;
    auto pkg = uci::parse(text, "test", "test", err);
    EXPECT_TRUE(pkg) << err.describe();
    return pkg ? uci::map_sections<record>(*pkg, "rec", table, &record::name)
               : std::vector<record>{};
}

TEST(UciMap, IntegersTakeTheirBaseFromTheText) {
    struct {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"12", true, 12},       {"012", true, 10},     {"0x0C", true, 12},
        {"0X1f", true, 31},     {"-7", true, -7},      {"0", true, 0},
        {"2147483647", true, 2147483647},              {"-2147483648", true, INT32_MIN},
        {"12abc", false, 0},    {"08", false, 0},      {"0x", false, 0},
        {"", false, 0},         {"abc", false, 0},     {"12 ", false, 0},
        {"2147483648", false, 0},                      {"0x100000000", false, 0},
    };
    for (const auto& c : cases) {
        int32_t v = 0;
        EXPECT_EQ(uci::parse_integer(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(UciMap, FillsRecordsOfOneTypeInPackageOrder) {
    auto recs = map_text(
        "config rec first\n"
        "\toption number 0x10\n\toption label 'a label'\n\toption path /srv\n"
        "\tlist items one\n\tlist items two\n\toption unknown ignored\n"
        "config other skipped\n\toption number 5\n"
        "config rec\n\toption number 12abc\n"
        "config rec named_by_section\n\toption name 'explicit'\n");
    ASSERT_EQ(recs.size(), 3u);

    EXPECT_EQ(recs[0].name, "first");
    EXPECT_EQ(recs[0].number, 16);
    EXPECT_EQ(recs[0].label, "a label");
    EXPECT_EQ(recs[0].path, "/srv");
    EXPECT_EQ(recs[0].items, (std::vector<std::string>{"one", "two"}));

    // absent options keep the record's initial values; a bad number leaves 0
    EXPECT_EQ(recs[1].name.rfind("cfg", 0), 0u);
    EXPECT_EQ(recs[1].number, 0);
    EXPECT_FALSE(recs[1].label);
    EXPECT_EQ(recs[1].path, "/default");
    EXPECT_TRUE(recs[1].items.empty());

    EXPECT_EQ(recs[2].name, "explicit");  // the name option replaces the section's
}

TEST(UciMap, ListAndPlainOptionsOnlyFillTheirOwnKind) {
    auto recs = map_text(
        "config rec r\n\toption items single\n\tlist number 5\n\tlist label x\n");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_TRUE(recs[0].items.empty());  // a plain option where a list is expected
    EXPECT_EQ(recs[0].number, 0);        // a list where a value is expected is ignored
    EXPECT_FALSE(recs[0].label);
}

// Found by fuzzing (tests/fuzz/uci): a value with a zero byte inside, here
// "3" and a zero byte, was read as the number in front of the zero.
TEST(UciMap, AZeroByteInsideAValueIsNoNumber) {
    std::ifstream in(std::string(FPIGATE_SOURCE_DIR) + "/tests/uci/fixtures/integer_with_zero_byte", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(text, std::string("config 0\nlist i 3\0", 18));  // as the fuzzer left it
    uci::error err;
    auto pkg = uci::parse(text, "fixture", "fixture", err);
    ASSERT_TRUE(pkg) << err.describe();
    ASSERT_EQ(pkg->sections.size(), 1u);
    ASSERT_EQ(pkg->sections[0].options.size(), 1u);
    const std::string& value = pkg->sections[0].options[0].values.at(0);
    EXPECT_EQ(value, std::string("3\0", 2));
    int32_t v = 77;
    EXPECT_FALSE(uci::parse_integer(value, v));
    EXPECT_EQ(v, 77);

    // The same as an option of a mapped record: the field keeps its value.
    using namespace std::string_literals;
    auto recs = map_text("config rec r\n\toption number '12\0'\n"s);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].number, 0);
}

}  // namespace
