#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "net/direct_frame.h"
#include "net/direct_pairing.h"

namespace {

std::string Header(std::uint32_t length, std::uint32_t kind, const char* magic = "VRMX") {
  std::string h(magic, 4);
  for (std::uint32_t v : {length, kind, 0u}) {
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  }
  return h;
}

// Feeds a whole stream in pieces of `step` bytes and collects every frame.
std::vector<std::string> FeedAll(FrameReader& reader, const std::string& stream, std::size_t step,
                                 bool& invalid) {
  std::vector<std::string> frames;
  invalid = false;
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t piece = std::min(step, stream.size() - at);
    std::size_t offset = 0;
    while (offset < piece) {
      std::size_t used = 0;
      FrameReader::Status status = reader.Feed(stream.data() + at + offset, piece - offset, used);
      offset += used;
      if (status == FrameReader::Status::Invalid) {
        invalid = true;
        return frames;
      }
      if (status == FrameReader::Status::Frame) frames.push_back(reader.Text());
    }
    at += piece;
  }
  return frames;
}

TEST(DirectFrame, EncodesHeaderAndPayloadInOneBuffer) {
  std::string frame = EncodeFrame("{\"msg\":\"next\"}");
  ASSERT_EQ(frame.size(), 16u + 14u);
  EXPECT_EQ(frame.substr(0, 16), Header(14, 1));
  EXPECT_EQ(frame.substr(16), "{\"msg\":\"next\"}");
}

TEST(DirectFrame, ReaderSplitsAStreamWhateverThePieces) {
  std::string stream = EncodeFrame("{\"a\":1}") + EncodeFrame("") + Header(9, 0) +
                       std::string("{}\0junk!", 9) + EncodeFrame("{\"b\":\"\xe4\xb8\xad\"}");
  for (std::size_t step : {1u, 3u, 16u, 17u, 1000u}) {
    FrameReader reader;
    bool invalid = false;
    std::vector<std::string> frames = FeedAll(reader, stream, step, invalid);
    EXPECT_FALSE(invalid);
    ASSERT_EQ(frames.size(), 4u) << "step " << step;
    EXPECT_EQ(frames[0], "{\"a\":1}");
    EXPECT_EQ(frames[1], "");
    EXPECT_EQ(frames[2], "{}");  // not counted: ends at the zero byte
    EXPECT_EQ(frames[3], "{\"b\":\"\xe4\xb8\xad\"}");
  }
}

TEST(DirectFrame, UncountedTextWithoutZeroTakesTheWholeLength) {
  EXPECT_EQ(FramePayloadText(7, "{\"x\":2}", 7), "{\"x\":2}");
  EXPECT_EQ(FramePayloadText(1, std::string("a\0b", 3).data(), 3), std::string("a\0b", 3));
}

TEST(DirectFrame, ReaderRefusesBadMagicAndOversizedLengthForGood) {
  FrameReader bad;
  bool invalid = false;
  FeedAll(bad, Header(2, 1, "VRMY") + "{}", 64, invalid);
  EXPECT_TRUE(invalid);
  std::size_t used = 0;
  EXPECT_EQ(bad.Feed(EncodeFrame("{}").data(), 18, used), FrameReader::Status::Invalid);

  FrameReader limit;
  EXPECT_EQ(limit.Feed(Header(10485760, 1).data(), 16, used), FrameReader::Status::Invalid);
  FrameReader huge;
  EXPECT_EQ(huge.Feed(Header(0xffffffffu, 1).data(), 16, used), FrameReader::Status::Invalid);

  FrameReader largest;
  EXPECT_EQ(largest.Feed(Header(10485759, 1).data(), 16, used), FrameReader::Status::NeedMore);
  EXPECT_EQ(used, 16u);
}

TEST(DirectFrame, DatagramMustHoldExactlyOneFrame) {
  std::string frame = EncodeFrame(R"({"msg":"conn"})");
  std::string payload;
  EXPECT_TRUE(DecodeDatagram(frame.data(), frame.size(), payload));
  EXPECT_EQ(payload, R"({"msg":"conn"})");
  EXPECT_FALSE(DecodeDatagram(frame.data(), frame.size() - 1, payload));
  std::string longer = frame + "x";
  EXPECT_FALSE(DecodeDatagram(longer.data(), longer.size(), payload));
  EXPECT_FALSE(DecodeDatagram(frame.data(), 10, payload));
}

TEST(DirectFrame, DecodeMessageAcceptsOnlyObjectsOfValidUtf8) {
  JsonPtr message;
  EXPECT_TRUE(DecodeMessage("{\"msg\":\"next\"}", message));
  ASSERT_NE(message.Find(u"msg"), nullptr);
  EXPECT_EQ(message.Find(u"msg")->AsString(), u"next");
  EXPECT_FALSE(DecodeMessage("", message));
  EXPECT_FALSE(DecodeMessage("msg", message));
  EXPECT_FALSE(DecodeMessage("[1,2]", message));
  EXPECT_FALSE(DecodeMessage("{\"msg\":\"\xff\xfe\"}", message));
}

TEST(DirectFrame, EncodeMessageRoundTrips) {
  JsonPtr message = JsonNew(JsonKind::Object);
  message.Append(JsonNewString(u"error", u"未建立连接。"));
  std::string frame = EncodeMessageFrame(message);
  ASSERT_GT(frame.size(), 16u);
  DirectFrameHeader header;
  ASSERT_TRUE(DecodeFrameHeader(reinterpret_cast<const unsigned char*>(frame.data()), header));
  EXPECT_EQ(header.length, frame.size() - 16);
  EXPECT_EQ(header.kind, 1u);
  EXPECT_EQ(header.reserved, 0u);
  JsonPtr back;
  ASSERT_TRUE(DecodeMessage(frame.substr(16), back));
  EXPECT_EQ(back.Find(u"error")->AsString(), u"未建立连接。");

  EXPECT_TRUE(EncodeMessageFrame(JsonPtr()).empty());
}

TEST(DirectPairing, PieceIsLittleEndianAddressAndPort) {
  const unsigned char address[4] = {192, 168, 1, 5};
  EXPECT_EQ(DirectPairingPiece(address, 41203), "0501a8c0a0f3");
  const unsigned char zero[4] = {10, 0, 0, 1};
  EXPECT_EQ(DirectPairingPiece(zero, 80), "0100000a0050");
}

// The same addresses, in the same order, as the system resolver gives for
// this host's name.
TEST(DirectPairing, LocalValueHasOnePiecePerIpv4AddressOfTheHostName) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::resolver resolver(io);
  boost::system::error_code ec;
  auto results = resolver.resolve(boost::asio::ip::tcp::v4(), boost::asio::ip::host_name(), "",
                                  boost::asio::ip::resolver_base::flags(), ec);
  std::string expected;
  for (const auto& entry : results) {
    auto bytes = entry.endpoint().address().to_v4().to_bytes();
    expected += DirectPairingPiece(bytes.data(), 41203);
  }
  EXPECT_FALSE(expected.empty()) << ec.message();
  EXPECT_EQ(LocalDirectPairingValue(41203), expected);
}

}  // namespace
