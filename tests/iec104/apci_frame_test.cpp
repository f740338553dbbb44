// APCI frames, the stream parser and the sequence-number rules.
#include <gtest/gtest.h>

#include <cstring>

#include "hex.h"
#include "lib/iec104/apci.h"
#include "lib/iec104/link.h"

using namespace iec104;

namespace {

TEST(Apci, ControlOctetsAreRecognisedByMask) {
    const std::pair<uint8_t, Frame> rows[] = {
        {0x00, Frame::i},           {0x02, Frame::i},          {0x01, Frame::s},
        {0x07, Frame::startdt_act}, {0x0b, Frame::startdt_con}, {0x13, Frame::stopdt_act},
        {0x23, Frame::stopdt_con},  {0x43, Frame::testfr_act}, {0x83, Frame::testfr_con},
        {0x33, Frame::stopdt_act},  {0x05, Frame::unknown_u},   {0x03, Frame::unknown_u},
    };
    for (auto [c, f] : rows) EXPECT_EQ(classify(c), f) << int(c);
}

TEST(Apci, FramesAreWrittenByteExact) {
    uint8_t f[kMaxApduSize];
    EXPECT_EQ(to_hex({f, write_u_frame(f, kStartdtAct)}), "68 04 07 00 00 00");
    EXPECT_EQ(to_hex({f, write_s_frame(f, 32767)}), "68 04 01 00 fe ff");
    EXPECT_EQ(to_hex({f, 6}), "68 04 01 00 fe ff");
    write_i_header(f, 3, 0x1234, 10);
    EXPECT_EQ(to_hex({f, 6}), "68 0e 06 00 68 24");
    EXPECT_EQ(send_seq(std::span<const uint8_t>(f, 6)), 3);
    EXPECT_EQ(recv_seq(std::span<const uint8_t>(f, 6)), 0x1234);
}

std::vector<std::string> parse_all(FrameParser& p, const std::string& bytes, ParseError& error) {
    const auto b = hex(bytes);
    auto space = parser_space(p);
    std::memcpy(space.data(), b.data(), b.size());
    parser_commit(p, b.size());
    std::vector<std::string> frames;
    std::span<const uint8_t> f;
    while (parser_next(p, f, error)) frames.push_back(to_hex(f));
    return frames;
}

TEST(Apci, ParserCutsTheStreamIntoFramesAcrossReads) {
    FrameParser p;
    ParseError e;
    EXPECT_EQ(parse_all(p, "68 04 07 00 00 00 68 0e 00 00", e), std::vector<std::string>{"68 04 07 00 00 00"});
    EXPECT_EQ(e, ParseError::none);
    EXPECT_TRUE(parse_all(p, "00 00 64 01 06 00 01", e).empty());
    EXPECT_EQ(parse_all(p, "00 00 00 00 14 68", e),
              std::vector<std::string>{"68 0e 00 00 00 00 64 01 06 00 01 00 00 00 00 14"});
    EXPECT_EQ(parse_all(p, "04 43 00 00 00", e), std::vector<std::string>{"68 04 43 00 00 00"});
}

TEST(Apci, ParserRefusesWhatCannotBeAFrame) {
    const std::pair<const char*, ParseError> rows[] = {
        {"69 04 07 00 00 00", ParseError::bad_start},
        {"68 03 07 00 00", ParseError::bad_length},
        {"68 06 07 00 00 00 00 00", ParseError::bad_length},  // U-frame must be 4 long
        {"68 05 01 00 00 00 00", ParseError::bad_length},     // S-frame likewise
        {"68 fe 00 00 00 00", ParseError::bad_length},        // more than 253
    };
    for (auto [bytes, error] : rows) {
        FrameParser p;
        ParseError e;
        EXPECT_TRUE(parse_all(p, bytes, e).empty()) << bytes;
        EXPECT_EQ(e, error) << bytes;
    }
}

TEST(Link, AcknowledgementMustLieInsideTheSentWindow) {
    Link l;
    link_reset(l, {}, 0);
    EXPECT_TRUE(link_ack(l, 0));
    EXPECT_FALSE(link_ack(l, 1)) << "nothing sent yet";
    for (int i = 0; i < 3; ++i) link_i_sent(l, 0);
    EXPECT_FALSE(link_ack(l, 4));
    EXPECT_TRUE(link_ack(l, 1));
    EXPECT_EQ(l.unacked.size(), 2u);
    EXPECT_TRUE(link_ack(l, 1)) << "acknowledging nothing new is fine";
    EXPECT_FALSE(link_ack(l, 0)) << "going back is not";
    EXPECT_TRUE(link_ack(l, 3));
    EXPECT_TRUE(l.unacked.empty());
}

TEST(Link, SequenceNumbersWrapAt32768) {
    Link l;
    link_reset(l, {}, 0);
    l.vs = 32766;
    l.vr = 32767;
    EXPECT_EQ(link_i_sent(l, 0), 32766);
    EXPECT_EQ(link_i_sent(l, 0), 32767);
    EXPECT_EQ(link_i_sent(l, 0), 0);
    EXPECT_TRUE(link_ack(l, 32767));
    EXPECT_TRUE(link_ack(l, 1));
    EXPECT_TRUE(l.unacked.empty());
    EXPECT_TRUE(link_i_received(l, 32767, 0));
    EXPECT_FALSE(link_i_received(l, 1, 0));
    EXPECT_TRUE(link_i_received(l, 0, 0));
}

TEST(Link, TimersAskForAcknowledgeTestAndClose) {
    Link l;
    link_reset(l, {.t1 = 2, .t2 = 1, .t3 = 3}, 0);
    EXPECT_EQ(link_timers(l, 2999), LinkAction::none);
    EXPECT_EQ(link_next_timeout(l, 0), 3000);
    EXPECT_EQ(link_timers(l, 3000), LinkAction::send_testfr);
    EXPECT_EQ(link_timers(l, 4999), LinkAction::none);
    EXPECT_EQ(link_timers(l, 5000), LinkAction::close) << "TESTFR unanswered for t1";

    link_reset(l, {.t1 = 2, .t2 = 1, .t3 = 10}, 0);
    link_i_received(l, 0, 100);
    EXPECT_EQ(link_next_timeout(l, 100), 1000);
    EXPECT_EQ(link_timers(l, 1100), LinkAction::send_s);
    link_ack_sent(l);
    link_i_sent(l, 1200);
    EXPECT_EQ(link_timers(l, 3199), LinkAction::none);
    EXPECT_EQ(link_timers(l, 3200), LinkAction::close) << "I-frame unacknowledged for t1";
}

}  // namespace
