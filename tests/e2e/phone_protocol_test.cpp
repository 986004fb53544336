// The phone simulator's own parsing: pairing addresses, frames and typed
// commands. A fault here would make every end-to-end result meaningless.
#include <gtest/gtest.h>

#include <string>

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
