#include <gtest/gtest.h>

#include <string>

#include "net/relay_payload.h"

namespace {

const std::u16string kSelf = u"pc_1";

struct Case {
  const char* peerBefore;
  const char* payload;
  RelayVerdict verdict;
  const char* peerAfter;
};

TEST(RelayPayload, AddressingRulesDecideWhatTheControllerHears) {
  const Case cases[] = {
      // The first phone that writes to the PC is attached and heard.
      {"", R"({"msg":"hello","src":"a","dst":"pc_1"})", RelayVerdict::Deliver, "a"},
      {"a", R"({"msg":"next","src":"a","dst":"pc_1"})", RelayVerdict::Deliver, "a"},
      // Another phone is answered busy; the attached one stays.
      {"a", R"({"msg":"next","src":"b","dst":"pc_1"})", RelayVerdict::Busy, "a"},
      {"a", R"({"msg":"lost","src":"a","dst":"pc_1"})", RelayVerdict::PeerLost, ""},
      {"a", R"({"msg":"lost","src":"b","dst":"pc_1"})", RelayVerdict::Busy, "a"},
      // A first message that is "lost" attaches and detaches at once.
      {"", R"({"msg":"lost","src":"a","dst":"pc_1"})", RelayVerdict::PeerLost, ""},
      // Not for this PC, or missing what every message carries.
      {"a", R"({"src":"pc_1","dst":"*","msg":"lost"})", RelayVerdict::Drop, "a"},
      {"", R"({"msg":"next","src":"a","dst":"PC_1"})", RelayVerdict::Drop, ""},
      {"", R"({"msg":"next","dst":"pc_1"})", RelayVerdict::Drop, ""},
      {"", R"({"src":"a","dst":"pc_1"})", RelayVerdict::Drop, ""},
      {"", R"({"msg":"","src":"a","dst":"pc_1"})", RelayVerdict::Drop, ""},
      // Someone writing with the PC's own id is not taken for its phone
      // (then the PC's own publications would come back as commands).
      {"", R"({"msg":"next","src":"pc_1","dst":"pc_1"})", RelayVerdict::Drop, ""},
      {"a", R"({"msg":"lost","src":"pc_1","dst":"pc_1"})", RelayVerdict::Drop, "a"},
  };
  for (const Case& c : cases) {
    RelayPayload in;
    const std::string text = c.payload;
    ASSERT_TRUE(DecodeRelayPayload(text.data(), text.size(), in)) << c.payload;
    std::string before = c.peerBefore;
    std::u16string peer(before.begin(), before.end());
    EXPECT_EQ(DecideRelayPayload(in, kSelf, peer), c.verdict) << c.payload;
    std::string after = c.peerAfter;
    EXPECT_EQ(peer, std::u16string(after.begin(), after.end())) << c.payload;
  }
}

TEST(RelayPayload, OnlyObjectsOfAcceptedSizeAreDecoded) {
  RelayPayload in;
  const std::string refused[] = {"", "[1,2]", "not json", "\xff\xfe{}", "\"text\""};
  for (const std::string& text : refused) {
    EXPECT_FALSE(DecodeRelayPayload(text.data(), text.size(), in)) << text;
  }
  std::string big = R"({"msg":"next","src":"a","dst":"pc_1","pad":")";
  big += std::string(kMaxRelayPayload - big.size() - 2, 'x') + "\"}";
  ASSERT_EQ(big.size(), kMaxRelayPayload);
  EXPECT_TRUE(DecodeRelayPayload(big.data(), big.size(), in));
  big.insert(big.size() - 2, "x");
  EXPECT_FALSE(DecodeRelayPayload(big.data(), big.size(), in));
  EXPECT_FALSE(RelayPayloadSizeAccepted(0));
  EXPECT_FALSE(RelayPayloadSizeAccepted(-1));
  EXPECT_TRUE(RelayPayloadSizeAccepted(1));
}

}  // namespace
