// The phone simulator's own parsing: pairing addresses, frames and typed
// commands. A fault here would make every end-to-end result meaningless.
#include <gtest/gtest.h>

#include <string>

#include "tools/phone/frame_codec.h"
#include "tools/phone/pairing_address.h"
#include "tools/phone/phone_command.h"
#include "tools/phone/phone_link.h"

namespace phone {
namespace {

TEST(PhonePairingAddress, ReadsRelayAndDirectParametersInOrder) {
  PairingAddress a;
  std::string error;
  ASSERT_TRUE(ParsePairingAddress(
      "http://update.example/tavmix/?os=1&id=0123abcd&st=1700000000_42&sv=0100007fa0f3", a, &error))
      << error;
  EXPECT_EQ(a.base, "http://update.example/tavmix/");
  ASSERT_EQ(a.params.size(), 3u);
  EXPECT_EQ(a.params[0].first, "id");
  EXPECT_EQ(a.params[2].first, "sv");
  EXPECT_EQ(a.Topic(), "kestil/0123abcd/1700000000_42");
  EXPECT_EQ(a.PcClientId(), "0123abcd_1700000000_42");
  EXPECT_TRUE(a.HasRelay());
  EXPECT_TRUE(a.HasDirect());
}

TEST(PhonePairingAddress, BaseWithQueryOrLineFeedIsKeptWhole) {
  PairingAddress a;
  // The marker is appended even after a "?" (and after a line feed the
  // override file may end with), so only the last marker counts.
  ASSERT_TRUE(ParsePairingAddress("http://h/p?x=1&os=1\n?os=1&sv=0100007fa0f3", a, nullptr));
  EXPECT_EQ(a.base, "http://h/p?x=1&os=1\n");
  ASSERT_EQ(a.params.size(), 1u);
  EXPECT_EQ(a.Value("sv"), "0100007fa0f3");
  EXPECT_FALSE(a.HasRelay());

  ASSERT_TRUE(ParsePairingAddress("http://h/?os=1", a, nullptr));
  EXPECT_TRUE(a.params.empty());
}

TEST(PhonePairingAddress, RefusesTextWithoutMarkerOrPieces) {
  PairingAddress a;
  std::string error;
  EXPECT_FALSE(ParsePairingAddress("http://h/tavmix/", a, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(ParsePairingAddress("http://h/?os=1&novalue", a, &error));
  EXPECT_FALSE(ParsePairingAddress("http://h/?os=1&=x", a, &error));
  EXPECT_FALSE(ParsePairingAddress("", a, &error));
}

TEST(PhoneDirectEndpoints, DecodesEachTwelveDigitPiece) {
  std::vector<DirectEndpoint> e;
  ASSERT_TRUE(DecodeDirectEndpoints("0501a8c0a0f30100007F0050", e));
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].AddressText(), "192.168.1.5");
  EXPECT_EQ(e[0].port, 41203);
  EXPECT_EQ(e[1].AddressText(), "127.0.0.1");
  EXPECT_EQ(e[1].port, 80);

  EXPECT_TRUE(DecodeDirectEndpoints("", e));
  EXPECT_TRUE(e.empty());
  EXPECT_FALSE(DecodeDirectEndpoints("0501a8c0a0f", e));
  EXPECT_FALSE(DecodeDirectEndpoints("0501a8c0a0fg", e));
}

TEST(PhoneFrame, EncodesCountedFrameAndReadsItBackInPieces) {
  std::string frame = EncodeFrame(R"({"msg":"next"})");
  ASSERT_EQ(frame.size(), 16u + 14u);
  EXPECT_EQ(frame.substr(0, 4), "VRMX");
  EXPECT_EQ(frame[4], 14);
  EXPECT_EQ(frame[8], 1);
  EXPECT_EQ(frame.substr(12, 4), std::string(4, '\0'));

  // Two frames fed one byte at a time come out whole and in order.
  std::string stream = frame + EncodeFrame("{}");
  FrameReader reader;
  std::vector<std::string> out;
  for (char c : stream) {
    std::size_t used = 0;
    std::string payload;
    auto r = reader.Feed(&c, 1, used, payload);
    EXPECT_EQ(used, 1u);
    ASSERT_NE(r, FrameReader::Result::Bad);
    if (r == FrameReader::Result::Frame) out.push_back(payload);
  }
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], R"({"msg":"next"})");
  EXPECT_EQ(out[1], "{}");
}

TEST(PhoneFrame, StopsAfterEachFrameAndHonoursZeroEndedKinds) {
  // A kind other than 1 ends its text at the first zero byte.
  std::string zeroEnded = EncodeFrame(std::string("{}\0junk", 7));
  zeroEnded[8] = 0;
  std::string stream = zeroEnded + EncodeFrame("[]");
  FrameReader reader;
  std::size_t used = 0;
  std::string payload;
  ASSERT_EQ(reader.Feed(stream.data(), stream.size(), used, payload), FrameReader::Result::Frame);
  EXPECT_EQ(payload, "{}");
  EXPECT_EQ(used, zeroEnded.size());
  std::size_t rest = 0;
  ASSERT_EQ(reader.Feed(stream.data() + used, stream.size() - used, rest, payload),
            FrameReader::Result::Frame);
  EXPECT_EQ(payload, "[]");
}

TEST(PhoneFrame, RefusesBadMagicAndOversizedLengthWithoutAllocating) {
  FrameReader bad;
  std::string junk = "XRMX" + std::string(12, '\0');
  std::size_t used = 0;
  std::string payload;
  EXPECT_EQ(bad.Feed(junk.data(), junk.size(), used, payload), FrameReader::Result::Bad);
  EXPECT_EQ(bad.Feed("VRMX", 4, used, payload), FrameReader::Result::Bad);  // stays bad

  std::string huge = EncodeFrame("");
  huge[4] = 0x00;
  huge[5] = 0x00;
  huge[6] = static_cast<char>(0xa0);  // 10,485,760
  FrameReader reader;
  EXPECT_EQ(reader.Feed(huge.data(), huge.size(), used, payload), FrameReader::Result::Bad);

  huge[4] = static_cast<char>(0xff);
  huge[5] = static_cast<char>(0xff);
  huge[6] = static_cast<char>(0x9f);  // 10,485,759: announced, still waiting
  FrameReader large;
  EXPECT_EQ(large.Feed(huge.data(), huge.size(), used, payload), FrameReader::Result::NeedMore);
}

TEST(PhoneFrame, DatagramMustHoldExactlyOneFrame) {
  std::string frame = EncodeFrame(R"({"msg":"conn"})");
  std::string payload;
  EXPECT_TRUE(DecodeDatagram(frame.data(), frame.size(), payload));
  EXPECT_EQ(payload, R"({"msg":"conn"})");
  EXPECT_FALSE(DecodeDatagram(frame.data(), frame.size() - 1, payload));
  std::string longer = frame + "x";
  EXPECT_FALSE(DecodeDatagram(longer.data(), longer.size(), payload));
  EXPECT_FALSE(DecodeDatagram(frame.data(), 10, payload));
}

TEST(PhoneCommand, BuildsProtocolMessages) {
  EXPECT_EQ(ParseCommand("next", false).json, R"({"msg":"next"})");
  EXPECT_EQ(ParseCommand("  laser_down 0.5 0.25 ", false).json,
            R"({"msg":"laser_down","x":0.5,"y":0.25})");
  EXPECT_EQ(ParseCommand("pen_move 1 -0.1", false).json, R"({"msg":"pen_move","x":1,"y":-0.1})");
  EXPECT_EQ(ParseCommand("hello", true).json, R"({"msg":"hello","note":1})");
  EXPECT_EQ(ParseCommand("hello", false).json, R"({"msg":"hello"})");
  EXPECT_EQ(ParseCommand("some_new_word", false).json, R"({"msg":"some_new_word"})");
  auto raw = ParseCommand(R"({"msg":"pen_down","x":0.1,"y":0.2,"extra":[1]})", false);
  EXPECT_EQ(raw.kind, CommandKind::Message);
  EXPECT_EQ(raw.json, R"({"msg":"pen_down","x":0.1,"y":0.2,"extra":[1]})");
  auto sleep = ParseCommand("sleep 250", false);
  EXPECT_EQ(sleep.kind, CommandKind::Sleep);
  EXPECT_EQ(sleep.sleepMs, 250);
  EXPECT_EQ(ParseCommand("   ", false).kind, CommandKind::Empty);
  EXPECT_EQ(ParseCommand("# comment", false).kind, CommandKind::Empty);
}

TEST(PhoneCommand, RefusesMalformedLines) {
  for (const char* line :
       {"laser_down 0.5", "laser_move x y", "pen_down 1 2 3", "laser_down nan 0", "pen_move inf 1",
        "next now", "sleep", "sleep -1", "sleep 10x", "{\"msg\":", "[1,2]", "{oops", "na\"me"}) {
    EXPECT_EQ(ParseCommand(line, false).kind, CommandKind::Invalid) << line;
  }
}

TEST(PhoneMessageFields, ReadsMembersOfObjectsOnly) {
  EXPECT_EQ(MemberText(R"({"msg":"state","state":3})", "msg"), "state");
  double v = 0;
  EXPECT_TRUE(MemberNumber(R"({"msg":"state","state":3})", "state", v));
  EXPECT_EQ(v, 3);
  EXPECT_FALSE(MemberNumber(R"({"msg":"state"})", "state", v));
  EXPECT_EQ(MemberText("not json", "msg"), "");
  EXPECT_EQ(MemberText(R"({"msg":1})", "msg"), "");
}

}  // namespace
}  // namespace phone
