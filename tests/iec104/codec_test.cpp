// ASDU codec: byte-exact vectors (from a reference outstation on the wire),
// every parameter size, capacity limits and malformed input.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "hex.h"
#include "lib/iec104/asdu.h"
#include "lib/iec104/commands.h"

using namespace iec104;

namespace {

const AppLayerParameters kDefault;  // COT 2 with OA, CA 2, IOA 3, max 249
constexpr int64_t kTimeMs = 1711850398765;  // 2024-03-31 01:59:58.765 UTC
const std::string kTime = "8d e5 3b 01 1f 03 18";
const Cp56Time2a kCp56{{0x8d, 0xe5, 0x3b, 0x01, 0x1f, 0x03, 0x18}};

std::vector<uint8_t> encode(const Asdu& a, const AppLayerParameters& p = kDefault) {
    std::vector<uint8_t> out(kMaxAsduSize);
    out.resize(encode_asdu(a, p, out));
    return out;
}

struct Vector {
    const char* what;
    uint8_t type;
    uint8_t cot;
    InformationObject object;
    std::string bytes;
    std::optional<InformationObject> decoded = std::nullopt;  // when decoding drops something
};

// One object per ASDU, CA 1, default parameters.
const Vector kVectors[] = {
    {"single point on, IV (OV cannot be sent)", M_SP_NA_1, 3,
     {.ioa = 0x010203, .value = 1, .quality = QUALITY_INVALID | QUALITY_OVERFLOW}, "01 01 03 00 01 00 03 02 01 81",
     InformationObject{.ioa = 0x010203, .value = 1, .quality = QUALITY_INVALID}},
    {"double point on, NT", M_DP_NA_1, 3, {.ioa = 1, .value = 2, .quality = QUALITY_NON_TOPICAL},
     "03 01 03 00 01 00 01 00 00 42"},
    {"normalized 0.5", M_ME_NA_1, 3, {.ioa = 1, .value = 16384}, "09 01 03 00 01 00 01 00 00 00 40 00"},
    {"scaled -2", M_ME_NB_1, 3, {.ioa = 1, .value = -2}, "0b 01 03 00 01 00 01 00 00 fe ff 00"},
    {"short float 1.5, overflow", M_ME_NC_1, 3, {.ioa = 1, .real = 1.5f, .quality = QUALITY_OVERFLOW},
     "0d 01 03 00 01 00 01 00 00 00 00 c0 3f 01"},
    {"single point with time", M_SP_TB_1, 3, {.ioa = 1, .value = 1, .time = kCp56},
     "1e 01 03 00 01 00 01 00 00 01 " + kTime},
    {"double point with time", M_DP_TB_1, 3, {.ioa = 1, .value = 1, .time = kCp56},
     "1f 01 03 00 01 00 01 00 00 01 " + kTime},
    {"normalized with time", M_ME_TD_1, 3, {.ioa = 1, .value = -32768, .quality = QUALITY_INVALID, .time = kCp56},
     "22 01 03 00 01 00 01 00 00 00 80 80 " + kTime},
    {"scaled 100 with time", M_ME_TE_1, 3, {.ioa = 1, .value = 100, .time = kCp56},
     "23 01 03 00 01 00 01 00 00 64 00 00 " + kTime},
    {"short float 1.5 with time", M_ME_TF_1, 3, {.ioa = 1, .real = 1.5f, .time = kCp56},
     "24 01 03 00 01 00 01 00 00 00 00 c0 3f 00 " + kTime},
    {"single command on, execute", C_SC_NA_1, 6, {.ioa = 5000, .value = 1}, "2d 01 06 00 01 00 88 13 00 01"},
    {"single command on, select, QU 2", C_SC_NA_1, 6, {.ioa = 5000, .value = 1, .qualifier = 2, .select = true},
     "2d 01 06 00 01 00 88 13 00 89"},
    {"single command with time", C_SC_TA_1, 6, {.ioa = 5000, .value = 0, .time = kCp56},
     "3a 01 06 00 01 00 88 13 00 00 " + kTime},
    {"double command on, QU 1", C_DC_NA_1, 6, {.ioa = 5000, .value = 2, .qualifier = 1},
     "2e 01 06 00 01 00 88 13 00 06"},
    {"double command off, select", C_DC_NA_1, 6, {.ioa = 5000, .value = 1, .select = true},
     "2e 01 06 00 01 00 88 13 00 81"},
    {"double command with time", C_DC_TA_1, 6, {.ioa = 5000, .value = 2, .time = kCp56},
     "3b 01 06 00 01 00 88 13 00 02 " + kTime},
    {"normalized set-point 0.5", C_SE_NA_1, 6, {.ioa = 5000, .value = 16384}, "30 01 06 00 01 00 88 13 00 00 40 00"},
    {"normalized set-point -0.25, select", C_SE_NA_1, 6, {.ioa = 5000, .value = -8192, .select = true},
     "30 01 06 00 01 00 88 13 00 00 e0 80"},
    {"normalized set-point with time", C_SE_TA_1, 6, {.ioa = 5000, .value = 16384, .time = kCp56},
     "3d 01 06 00 01 00 88 13 00 00 40 00 " + kTime},
    {"scaled set-point -1234", C_SE_NB_1, 6, {.ioa = 5000, .value = -1234}, "31 01 06 00 01 00 88 13 00 2e fb 00"},
    {"scaled set-point with time, QL 5", C_SE_TB_1, 6, {.ioa = 5000, .value = -1234, .qualifier = 5, .time = kCp56},
     "3e 01 06 00 01 00 88 13 00 2e fb 05 " + kTime},
    {"short set-point 3.25", C_SE_NC_1, 6, {.ioa = 5000, .real = 3.25f}, "32 01 06 00 01 00 88 13 00 00 00 50 40 00"},
    {"short set-point with time", C_SE_TC_1, 6, {.ioa = 5000, .real = 3.25f, .time = kCp56},
     "3f 01 06 00 01 00 88 13 00 00 00 50 40 00 " + kTime},
    {"end of initialisation", M_EI_NA_1, 4, {.ioa = 0, .value = 0}, "46 01 04 00 01 00 00 00 00 00"},
    {"station interrogation", C_IC_NA_1, 6, {.ioa = 0, .value = 20}, "64 01 06 00 01 00 00 00 00 14"},
    {"counter interrogation", C_CI_NA_1, 6, {.ioa = 0, .value = 5}, "65 01 06 00 01 00 00 00 00 05"},
    {"read", C_RD_NA_1, 5, {.ioa = 100}, "66 01 05 00 01 00 64 00 00"},
    {"clock synchronisation", C_CS_NA_1, 6, {.ioa = 0, .time = kCp56}, "67 01 06 00 01 00 00 00 00 " + kTime},
    {"test command", C_TS_NA_1, 6, {.ioa = 0, .value = 0x55aa}, "68 01 06 00 01 00 00 00 00 aa 55"},
    {"reset process", C_RP_NA_1, 6, {.ioa = 0, .value = 1}, "69 01 06 00 01 00 00 00 00 01"},
    {"delay acquisition 1000 ms", C_CD_NA_1, 6, {.ioa = 0, .value = 1000}, "6a 01 06 00 01 00 00 00 00 e8 03"},
    {"test command with time", C_TS_TA_1, 6, {.ioa = 0, .value = 0x4938, .time = kCp56},
     "6b 01 06 00 01 00 00 00 00 38 49 " + kTime},
};

TEST(Codec, EveryTypeEncodesAndDecodesByteExact) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.what);
        Asdu a = make_asdu(kDefault, v.type, false, v.cot, 1);
        ASSERT_TRUE(add_object(a, kDefault, v.object));
        EXPECT_EQ(to_hex(encode(a)), to_hex(hex(v.bytes)));

        Asdu d;
        ASSERT_EQ(decode_asdu(hex(v.bytes), kDefault, d), DecodeError::ok);
        EXPECT_EQ(d.type, v.type);
        EXPECT_EQ(d.cot, v.cot);
        EXPECT_EQ(d.ca, 1);
        EXPECT_EQ(d.count, 1);
        EXPECT_FALSE(d.sequence || d.negative || d.test);
        const auto o = get_object(d, kDefault, 0);
        ASSERT_TRUE(o);
        EXPECT_EQ(*o, v.decoded.value_or(v.object));
        EXPECT_FALSE(get_object(d, kDefault, 1));
    }
}

TEST(Codec, EveryTruncationOfAVectorIsAnError) {
    for (const Vector& v : kVectors) {
        const auto bytes = hex(v.bytes);
        for (size_t n = 0; n < bytes.size(); ++n) {
            Asdu d;
            EXPECT_NE(decode_asdu(std::span(bytes).first(n), kDefault, d), DecodeError::ok) << v.what << " " << n;
        }
        auto longer = bytes;
        longer.push_back(0);
        Asdu d;
        EXPECT_EQ(decode_asdu(longer, kDefault, d), DecodeError::length_mismatch) << v.what;
    }
}

// Header and IOA layout for every size the configuration allows: scaled
// value -2 with blocked quality, cause 3, negative and test set, OA 9, CA 0x0201.
TEST(Codec, HeaderAndIoaForEveryParameterSize) {
    struct Row {
        int cot, ca, ioa;
        uint32_t object_ioa;
        const char* bytes;
    };
    const Row rows[] = {
        {1, 1, 1, 0x07, "0b 01 c3 01 07 fe ff 10"},
        {1, 1, 2, 0x0807, "0b 01 c3 01 07 08 fe ff 10"},
        {1, 1, 3, 0x090807, "0b 01 c3 01 07 08 09 fe ff 10"},
        {1, 2, 1, 0x07, "0b 01 c3 01 02 07 fe ff 10"},
        {1, 2, 2, 0x0807, "0b 01 c3 01 02 07 08 fe ff 10"},
        {1, 2, 3, 0x090807, "0b 01 c3 01 02 07 08 09 fe ff 10"},
        {2, 1, 1, 0x07, "0b 01 c3 09 01 07 fe ff 10"},
        {2, 1, 2, 0x0807, "0b 01 c3 09 01 07 08 fe ff 10"},
        {2, 1, 3, 0x090807, "0b 01 c3 09 01 07 08 09 fe ff 10"},
        {2, 2, 1, 0x07, "0b 01 c3 09 01 02 07 fe ff 10"},
        {2, 2, 2, 0x0807, "0b 01 c3 09 01 02 07 08 fe ff 10"},
        {2, 2, 3, 0x090807, "0b 01 c3 09 01 02 07 08 09 fe ff 10"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bytes);
        const AppLayerParameters p{.size_of_cot = r.cot, .originator_address = 9, .size_of_ca = r.ca, .size_of_ioa = r.ioa};
        const InformationObject object{.ioa = r.object_ioa, .value = -2, .quality = QUALITY_BLOCKED};
        Asdu a = make_asdu(p, M_ME_NB_1, false, COT_SPONTANEOUS, 0x0201);
        a.negative = a.test = true;
        ASSERT_TRUE(add_object(a, p, object));
        EXPECT_EQ(to_hex(encode(a, p)), to_hex(hex(r.bytes)));

        Asdu d;
        ASSERT_EQ(decode_asdu(hex(r.bytes), p, d), DecodeError::ok);
        EXPECT_EQ(d.ca, r.ca == 2 ? 0x0201 : 0x01);
        EXPECT_EQ(d.oa, r.cot == 2 ? 9 : 0);
        EXPECT_TRUE(d.negative && d.test);
        EXPECT_EQ(d.cot, COT_SPONTANEOUS);
        EXPECT_EQ(get_object(d, p, 0), object);
    }
}

// Every type through every parameter combination, single and in sequence.
TEST(Codec, EveryTypeRoundTripsWithEveryParameterSize) {
    for (int cot : {1, 2})
        for (int ca : {1, 2})
            for (int ioa : {1, 2, 3}) {
                const AppLayerParameters p{.size_of_cot = cot, .originator_address = 3, .size_of_ca = ca, .size_of_ioa = ioa};
                for (const Vector& v : kVectors) {
                    SCOPED_TRACE(std::string(v.what) + " cot " + std::to_string(cot) + " ca " + std::to_string(ca) +
                                 " ioa " + std::to_string(ioa));
                    InformationObject o = v.decoded.value_or(v.object);
                    o.ioa &= (1u << (8 * ioa)) - 1;
                    const bool many = !type_info(v.type)->single_object;
                    Asdu a = make_asdu(p, v.type, many, v.cot, 0x00aa);
                    ASSERT_TRUE(add_object(a, p, o));
                    InformationObject next = o;
                    next.ioa = o.ioa + 1;
                    if (many && next.ioa < (1u << (8 * ioa))) {
                        ASSERT_TRUE(add_object(a, p, next));
                    }
                    const auto bytes = encode(a, p);
                    const int element = element_size(*type_info(v.type));
                    EXPECT_EQ(int(bytes.size()), header_size(p) + ioa + a.count * element);

                    Asdu d;
                    ASSERT_EQ(decode_asdu(bytes, p, d), DecodeError::ok);
                    EXPECT_EQ(d.count, a.count);
                    EXPECT_EQ(d.sequence, many);
                    EXPECT_EQ(d.oa, cot == 2 ? 3 : 0);
                    EXPECT_EQ(get_object(d, p, 0), o);
                    if (d.count == 2) {
                        EXPECT_EQ(get_object(d, p, 1), next);
                    }
                }
            }
}

TEST(Codec, SequenceCarriesOnlyTheFirstIoa) {
    Asdu a = make_asdu(kDefault, M_SP_NA_1, true, COT_INTERROGATED_BY_STATION, 1);
    ASSERT_TRUE(add_object(a, kDefault, {.ioa = 100, .value = 1}));
    ASSERT_TRUE(add_object(a, kDefault, {.ioa = 101, .value = 0, .quality = QUALITY_INVALID}));
    ASSERT_TRUE(add_object(a, kDefault, {.ioa = 102, .value = 1}));
    EXPECT_EQ(to_hex(encode(a)), "01 83 14 00 01 00 64 00 00 01 80 01");
    EXPECT_FALSE(add_object(a, kDefault, {.ioa = 104, .value = 1})) << "IOA must follow on";
    EXPECT_EQ(a.count, 3);
}

// How many objects fit with the default parameters, as established stacks
// refuse them; the reporting relies on these limits.
TEST(Codec, AddObjectRefusesAt127ObjectsOrTheMaximumLength) {
    struct Row {
        uint8_t type;
        int single, sequence;
    };
    const Row rows[] = {
        {M_SP_NA_1, 60, 127}, {M_DP_NA_1, 60, 127}, {M_SP_TB_1, 22, 30}, {M_DP_TB_1, 22, 30},
        {M_ME_NA_1, 40, 80},  {M_ME_NB_1, 40, 80},  {M_ME_NC_1, 30, 48}, {M_ME_TD_1, 18, 24},
        {M_ME_TE_1, 18, 24},  {M_ME_TF_1, 16, 20},  {C_SC_NA_1, 1, 1},   {C_SE_TC_1, 1, 1},
        {C_IC_NA_1, 1, 1},    {C_CS_NA_1, 1, 1},
    };
    for (const Row& r : rows)
        for (bool sequence : {false, true}) {
            SCOPED_TRACE(std::string(type_name(r.type)) + (sequence ? " sequence" : ""));
            Asdu a = make_asdu(kDefault, r.type, sequence, COT_SPONTANEOUS, 1);
            uint32_t ioa = 1000;
            while (add_object(a, kDefault, {.ioa = ioa, .value = 1})) ++ioa;
            EXPECT_EQ(a.count, sequence ? r.sequence : r.single);
            EXPECT_EQ(object_capacity(kDefault, r.type, sequence), a.count);
            const Asdu before = a;
            EXPECT_FALSE(add_object(a, kDefault, {.ioa = ioa}));
            EXPECT_EQ(a.payload_size, before.payload_size) << "a refused object leaves the ASDU unchanged";
            EXPECT_LE(int(encode(a).size()), kDefault.max_size_of_asdu);
        }
}

// The capacity the packing of interrogation answers plans with is what
// add_object accepts, for every known type, parameter size and a range of
// maximum lengths down to where nothing fits.
TEST(Codec, ObjectCapacityIsWhatAddObjectAccepts) {
    for (int cot : {1, 2})
        for (int ca : {1, 2})
            for (int ioa : {1, 2, 3})
                for (int max : {249, 200, 120, 27, 20, 13, 9, 8})
                    for (int type = 0; type < 256; ++type) {
                        const AppLayerParameters p{
                            .size_of_cot = cot, .size_of_ca = ca, .size_of_ioa = ioa, .max_size_of_asdu = max};
                        const bool known = type_info(uint8_t(type)) != nullptr;
                        for (bool sequence : {false, true}) {
                            Asdu a = make_asdu(p, uint8_t(type), sequence, COT_SPONTANEOUS, 1);
                            uint32_t next = 1;
                            while (known && add_object(a, p, {.ioa = next})) ++next;
                            EXPECT_EQ(object_capacity(p, uint8_t(type), sequence), a.count)
                                << type_name(uint8_t(type)) << (sequence ? " sequence" : "") << " cot " << cot
                                << " ca " << ca << " ioa " << ioa << " max " << max;
                        }
                    }
}

TEST(Codec, SmallerMaximumLengthAndIoaRangeLimitAdding) {
    const AppLayerParameters p{.size_of_ioa = 2, .max_size_of_asdu = 20};
    Asdu a = make_asdu(p, M_SP_TB_1, false, COT_SPONTANEOUS, 1);
    EXPECT_FALSE(add_object(a, p, {.ioa = 0x10000})) << "IOA does not fit two octets";
    EXPECT_TRUE(add_object(a, p, {.ioa = 1}));   // 6 + 2 + 8 = 16
    EXPECT_FALSE(add_object(a, p, {.ioa = 2}));  // would be 26
    EXPECT_EQ(a.count, 1);
}

TEST(Codec, MalformedInputIsAnError) {
    struct Row {
        const char* what;
        std::string bytes;
        DecodeError error;
    };
    const Row rows[] = {
        {"empty", "", DecodeError::too_short},
        {"header cut", "01 01 03 00 01", DecodeError::too_short},
        {"count says 2, one object", "01 02 03 00 01 00 01 00 00 01", DecodeError::length_mismatch},
        {"count 0 with an object", "01 00 03 00 01 00 01 00 00 01", DecodeError::length_mismatch},
        {"sequence cut in an element", "0d 82 03 00 01 00 01 00 00 00 00 c0 3f 00 00 00 c0", DecodeError::length_mismatch},
        {"time tag cut", "1e 01 03 00 01 00 01 00 00 01 8d e5 3b 01 1f 03", DecodeError::length_mismatch},
        {"unknown type", "c8 01 06 00 01 00 01 00 00 05", DecodeError::unknown_type},
    };
    for (const Row& r : rows) {
        Asdu d;
        EXPECT_EQ(decode_asdu(hex(r.bytes), kDefault, d), r.error) << r.what;
    }
    std::vector<uint8_t> big(kMaxAsduSize + 1, 0x01);
    Asdu d;
    EXPECT_EQ(decode_asdu(big, kDefault, d), DecodeError::too_long);

    // An unknown type keeps its header and bytes so that it can be mirrored.
    ASSERT_EQ(decode_asdu(hex("c8 01 06 00 01 00 01 00 00 05"), kDefault, d), DecodeError::unknown_type);
    EXPECT_EQ(d.type, 200);
    EXPECT_EQ(to_hex(encode(d)), "c8 01 06 00 01 00 01 00 00 05");
    EXPECT_FALSE(get_object(d, kDefault, 0));
}

TEST(Codec, CommandsMayCarryMoreObjectsThanTheFirst) {
    // Only the first is acted on, but the ASDU itself is well formed.
    Asdu d;
    ASSERT_EQ(decode_asdu(hex("2d 02 06 00 01 00 88 13 00 01 89 13 00 00"), kDefault, d), DecodeError::ok);
    EXPECT_EQ(get_object(d, kDefault, 1)->ioa, 5001u);
}

TEST(Cp56Time2a, ConvertsMillisecondsAsUtc) {
    EXPECT_EQ(cp56_from_ms(kTimeMs), kCp56);
    EXPECT_EQ(cp56_to_ms(kCp56), kTimeMs);

    const int64_t t = 1717590896789;  // 2024-06-05 12:34:56.789
    const Cp56Time2a c = cp56_from_ms(t);
    EXPECT_EQ(cp56_hour(c), 12);
    EXPECT_EQ(cp56_minute(c), 34);
    EXPECT_EQ(cp56_second(c), 56);
    EXPECT_EQ(cp56_millisecond(c), 789);
    EXPECT_EQ(cp56_day_of_month(c), 5);
    EXPECT_EQ(cp56_month(c), 6);
    EXPECT_EQ(cp56_year(c), 24);
    EXPECT_EQ(cp56_to_ms(c), t);

    for (int64_t ms : {946684800000LL, 951782400000LL /* 2000-02-29 */, 4102444799999LL /* 2099-12-31 */})
        EXPECT_EQ(cp56_to_ms(cp56_from_ms(ms)), ms);
}

TEST(Cp56Time2a, FlagsAreIgnoredAndTheCenturyIs2000) {
    Cp56Time2a c = kCp56;
    c.bytes[2] |= 0xc0;  // IV and the reserved bit
    c.bytes[3] |= 0x80;  // summer time
    c.bytes[4] |= 0xe0;  // day of week 7
    EXPECT_EQ(cp56_to_ms(c), kTimeMs);
    EXPECT_TRUE(cp56_invalid(c));
    EXPECT_TRUE(cp56_summer_time(c));

    const int64_t y1999 = 915148800000;  // 1999-01-01
    EXPECT_EQ(cp56_to_ms(cp56_from_ms(y1999)), 4070908800000LL) << "1999 reads back as 2099";
    EXPECT_EQ(cp56_year(cp56_from_ms(0)), 70);
}

TEST(Normalized, ScalesClampsAndRounds) {
    const std::pair<float, int16_t> to16[] = {
        {1.0f, 32767}, {-1.0f, -32768}, {0.5f, 16384}, {1.5f, 32767}, {-1.5f, -32768},
        {1.5e-5f, 0},  {1.6e-5f, 1},    {-1.6e-5f, -1}, {0.0f, 0},     {NAN, 0},
    };
    for (auto [f, v] : to16) EXPECT_EQ(normalized_from_float(f), v) << f;
    EXPECT_FLOAT_EQ(normalized_to_float(32767), 0.999969482f);
    EXPECT_FLOAT_EQ(normalized_to_float(-32768), -1.0f);
    EXPECT_FLOAT_EQ(normalized_to_float(1), 3.0517578e-5f);
}

TEST(Scaled, KeepsOnlyTheLow16Bits) {
    Asdu a = make_asdu(kDefault, M_ME_NB_1, false, COT_SPONTANEOUS, 1);
    ASSERT_TRUE(add_object(a, kDefault, {.ioa = 1, .value = 40000}));
    EXPECT_EQ(to_hex(encode(a)), "0b 01 03 00 01 00 01 00 00 40 9c 00");
    EXPECT_EQ(get_object(a, kDefault, 0)->value, -25536);
}

TEST(Commands, BuildersMakeTheWireFormOfAMaster) {
    const CommandOptions timed{.time_ms = kTimeMs};
    EXPECT_EQ(to_hex(encode(interrogation_command(kDefault, 1))), "64 01 06 00 01 00 00 00 00 14");
    EXPECT_EQ(to_hex(encode(clock_sync_command(kDefault, 1, kTimeMs))), "67 01 06 00 01 00 00 00 00 " + kTime);
    EXPECT_EQ(to_hex(encode(single_command(kDefault, 1, 5000, true, {.select = true, .qualifier = 2}))),
              "2d 01 06 00 01 00 88 13 00 89");
    EXPECT_EQ(to_hex(encode(single_command(kDefault, 1, 5000, false, timed))), "3a 01 06 00 01 00 88 13 00 00 " + kTime);
    EXPECT_EQ(to_hex(encode(set_point_normalized(kDefault, 1, 5000, -0.25f, {.select = true}))),
              "30 01 06 00 01 00 88 13 00 00 e0 80");
    EXPECT_EQ(to_hex(encode(set_point_short(kDefault, 1, 5000, 3.25f, timed))),
              "3f 01 06 00 01 00 88 13 00 00 00 50 40 00 " + kTime);
}

}  // namespace
