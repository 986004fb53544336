#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "services/identity.h"
#include "services/machine_guid.h"

using namespace Base::GUID;
namespace fs = std::filesystem;

namespace {

class FakeSource : public IIdentitySource {
 public:
  bool adaptersOk = true;
  std::vector<AdapterInfo> adapters;
  bool netBiosOk = false;
  HardwareAddress netBios{};
  bool diskOk = true;
  DiskIdentity disk{"WD-123", "WDC WD10", "01.01A01"};
  std::string primary;
  std::string alternate;

  bool ListAdapters(std::vector<AdapterInfo>& out) override {
    out = adapters;
    return adaptersOk;
  }
  bool NetBiosAddress(HardwareAddress& out) override {
    out = netBios;
    return netBiosOk;
  }
  bool ReadDiskIdentity(DiskIdentity& out) override {
    if (diskOk) out = disk;
    return diskOk;
  }
  std::string PrimaryDataFolder() override { return primary; }
  std::string AlternateDataFolder() override { return alternate; }
};

AdapterInfo Adapter(std::uint32_t type, int rank, std::uint8_t last) {
  AdapterInfo a;
  a.type = type;
  a.rank = rank;
  a.address = {0x00, 0x11, 0x22, 0x33, 0x44, last};
  return a;
}

std::string Hex(const Digest& d) { return GuidText(d); }

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::uint8_t> FileBytes(std::uint32_t version, const Digest& guid, const Digest* mac,
                                    const Digest* serial) {
  std::vector<std::uint8_t> b;
  for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(version >> (8 * i)));
  b.insert(b.end(), guid.begin(), guid.end());
  if (mac) b.insert(b.end(), mac->begin(), mac->end());
  if (serial) b.insert(b.end(), serial->begin(), serial->end());
  return b;
}

Digest Md5Of(const std::string& s) { return Md5(s.data(), s.size()); }

class IdentityFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = (fs::temp_directory_path() / ("pivaro-identity-" + std::to_string(stamp))).string();
    source_.primary = Join(root_, "common");
    source_.alternate = Join(root_, "user");
    fs::create_directories(source_.primary);
    fs::create_directories(source_.alternate);
    source_.adapters = {Adapter(kAdapterTypeEthernet, 0, 0x55)};
    primaryFile_ = Join(Join(Join(source_.primary, "Kelto"), "Common"), "Global.db");
    alternateFile_ = Join(Join(Join(source_.alternate, "Kelto"), "Common"), "Global.db");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  static std::string Join(const std::string& a, const char* b) { return a + kPathSeparator + b; }

  // A fresh holder, as a new process would have.
  Digest Guid() {
    FakeSource* copy = new FakeSource(source_);
    CSeqIDGen gen{std::unique_ptr<IIdentitySource>(copy)};
    Digest d{};
    EXPECT_TRUE(gen.GetGuid(d.data()));
    return d;
  }
  std::string Mac() const { return "001122334455"; }
  Digest Computed() const { return Md5Of("WD-123#WDC WD10#01.01A01#001122334455#QVM"); }
  void MakeFolders(const std::string& base) {
    fs::create_directories(Join(Join(base, "Kelto"), "Common"));
  }

  std::string root_;
  FakeSource source_;  // what each new holder is given
  std::string primaryFile_;
  std::string alternateFile_;
};

}  // namespace

TEST(IdentityMd5, MatchesRfc1321Vectors) {
  EXPECT_EQ(Hex(Md5("", 0)), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(Md5Of("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(SerialDigest(""), Digest{});
  EXPECT_EQ(SerialDigest("abc"), Md5Of("abc"));
}

TEST(IdentityText, JoinsDiskAndMacOrMacAlone) {
  DiskIdentity disk{"S1", "Model X", "FW2"};
  EXPECT_EQ(IdentityText(&disk, "a0b1c2d3e4f5"), "S1#Model X#FW2#a0b1c2d3e4f5#QVM");
  EXPECT_EQ(IdentityText(nullptr, "a0b1c2d3e4f5"), "a0b1c2d3e4f5#QVM");
  EXPECT_EQ(MacText({0x0A, 0xB0, 0x00, 0xFF, 0x01, 0x10}), "0ab000ff0110");
}

TEST(IdentityAdapters, FirstTakenThenOnlyBetterEthernetOrPpp) {
  HardwareAddress out{};
  // A wireless adapter (type 71) listed first is kept against a worse one
  // and replaced by a strictly better Ethernet one.
  ASSERT_TRUE(ChooseAdapterAddress(
      {Adapter(71, 1, 1), Adapter(kAdapterTypeEthernet, 3, 2), Adapter(kAdapterTypePpp, 0, 3)},
      out));
  EXPECT_EQ(out[5], 3);
  // A better-ranked adapter of another type never replaces the first.
  ASSERT_TRUE(ChooseAdapterAddress({Adapter(kAdapterTypeEthernet, 2, 1), Adapter(71, 0, 2)}, out));
  EXPECT_EQ(out[5], 1);
  // Equal rank does not replace.
  ASSERT_TRUE(ChooseAdapterAddress(
      {Adapter(kAdapterTypeEthernet, 1, 1), Adapter(kAdapterTypeEthernet, 1, 2)}, out));
  EXPECT_EQ(out[5], 1);
  AdapterInfo zero = Adapter(kAdapterTypeEthernet, 3, 0);
  zero.address = {};
  EXPECT_FALSE(ChooseAdapterAddress({zero}, out));
  EXPECT_FALSE(ChooseAdapterAddress({}, out));
}

TEST(IdentityAdapters, FallsBackToNetBiosThenFixedAddress) {
  FakeSource source;
  source.adaptersOk = false;
  source.netBiosOk = true;
  source.netBios = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(MacText(ChooseHardwareAddress(source)), "010203040506");
  source.netBiosOk = false;
  EXPECT_EQ(MacText(ChooseHardwareAddress(source)), "1a2b3c4d5e6f");
  source.adaptersOk = true;  // a list with nothing usable in it
  EXPECT_EQ(MacText(ChooseHardwareAddress(source)), "1a2b3c4d5e6f");
}

TEST(IdentityDisk, IdentifyDataFieldsTakeHighByteFirst) {
  std::vector<std::uint8_t> data(512, 0);
  auto put = [&](int word, const char* text) {
    for (std::size_t i = 0; text[i]; ++i) data[word * 2 + (i ^ 1)] = std::uint8_t(text[i]);
  };
  put(10, "SN12345             ");
  put(23, "FW01    ");
  put(27, "ST1000DM003 ");
  DiskIdentity disk = DiskIdentityFromIdentifyData(data.data(), data.size());
  EXPECT_EQ(disk.serial, "SN12345");
  EXPECT_EQ(disk.firmware, "FW01");
  EXPECT_EQ(disk.model, "ST1000DM003");
  // A truncated answer yields what is there, never reads past it.
  EXPECT_EQ(IdentifyDataField(data.data(), 24, 10, 19), "SN12");
}

TEST(IdentityDisk, DescriptorFieldDecoding) {
  // Hexadecimal pairs stand for characters; serials are then swapped pairwise.
  EXPECT_EQ(DecodeDescriptorField("3456373839", false), "4V789");
  EXPECT_EQ(DecodeDescriptorField("5a4a3132", true), "JZ21");
  EXPECT_EQ(DecodeDescriptorField("5A4A3132", true), "JZ21");
  // Odd length: the last character goes with the terminator.
  EXPECT_EQ(DecodeDescriptorField("ABCDE", true), "BADC");
  EXPECT_EQ(DecodeDescriptorField("WD-WCC4", false), "WD-WCC4");
  // A pair that is not printable means the text was literal all along.
  EXPECT_EQ(DecodeDescriptorField("0102", false), "0102");
  // White space reads as zero digits; a zero byte ends the text.
  EXPECT_EQ(DecodeDescriptorField("41 0", false), "A");
  EXPECT_EQ(DecodeDescriptorField("20204142", true), "BA");
  EXPECT_EQ(DecodeDescriptorField("S3Z9NB0K  ", false), "S3Z9NB0K");
  // Leading blanks read as a zero pair, which ends the decoded text.
  EXPECT_EQ(DecodeDescriptorField("  4142", false), "");
  EXPECT_EQ(DecodeDescriptorField(std::string("AB\x01", 3), false), "");
  EXPECT_EQ(DecodeDescriptorField(std::string(600, 'Q'), false).size(), 255u);
}

TEST(IdentityDisk, DescriptorTextStaysInsideTheDescriptor) {
  // Offsets at 16, 20 and 24 point at zero-ended texts further on.
  std::vector<std::uint8_t> d(40, 0);
  auto offset = [](std::vector<std::uint8_t>& to, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) to[at + i] = std::uint8_t(v >> (8 * i));
  };
  offset(d, 16, 28);
  offset(d, 20, 0);
  offset(d, 24, 36);
  std::memcpy(&d[28], "Model\0", 6);
  std::memcpy(&d[36], "SN12", 4);  // runs to the end without a zero
  EXPECT_EQ(DescriptorText(d.data(), d.size(), 16), "Model");
  EXPECT_EQ(DescriptorText(d.data(), d.size(), 20), "");
  EXPECT_EQ(DescriptorText(d.data(), d.size(), 24), "SN12");
  const struct {
    std::uint32_t offset;
    std::size_t at;
  } outside[] = {{40, 16}, {0xFFFFFFFFu, 16}, {28, 37}, {28, 40}, {28, 1000}};
  for (const auto& c : outside) {
    std::vector<std::uint8_t> e = d;
    if (c.at + 4 <= e.size()) offset(e, c.at, c.offset);
    EXPECT_EQ(DescriptorText(e.data(), e.size(), c.at), "") << c.offset << " at " << c.at;
  }
  EXPECT_EQ(DescriptorText(nullptr, 0, 16), "");
}

TEST_F(IdentityFileTest, FreshGuidIsWrittenAndRecomputedAlike) {
  Digest first = Guid();
  EXPECT_EQ(first, Computed());
  Digest mac = Md5Of(Mac());
  Digest serial = Md5Of("WD-123");
  EXPECT_EQ(ReadAll(primaryFile_), FileBytes(2, first, &mac, &serial));
  EXPECT_FALSE(files::Exists(alternateFile_));
  ASSERT_TRUE(fs::remove(primaryFile_));
  EXPECT_EQ(Guid(), first);
}

TEST_F(IdentityFileTest, WithoutDiskHashesMacAloneAndStoresZeroSerialDigest) {
  source_.diskOk = false;
  Digest guid = Guid();
  EXPECT_EQ(guid, Md5Of("001122334455#QVM"));
  Digest mac = Md5Of(Mac());
  Digest zeros{};
  EXPECT_EQ(ReadAll(primaryFile_), FileBytes(2, guid, &mac, &zeros));
  // A new adapter: the empty serial's zero digest still matches.
  source_.adapters = {Adapter(kAdapterTypeEthernet, 0, 0x99)};
  EXPECT_EQ(Guid(), guid);
}

TEST_F(IdentityFileTest, Version1IsAcceptedAndUpgraded) {
  MakeFolders(source_.primary);
  Digest stored;
  stored.fill(0xAB);
  WriteBytes(primaryFile_, FileBytes(1, stored, nullptr, nullptr));
  EXPECT_EQ(Guid(), stored);
  Digest mac = Md5Of(Mac());
  Digest serial = Md5Of("WD-123");
  EXPECT_EQ(ReadAll(primaryFile_), FileBytes(2, stored, &mac, &serial));
}

TEST_F(IdentityFileTest, Version2NeedsOneMatchingDigest) {
  MakeFolders(source_.primary);
  Digest stored;
  stored.fill(0x42);
  Digest otherMac = Md5Of("ffffffffffff");
  Digest serial = Md5Of("WD-123");
  auto bytes = FileBytes(2, stored, &otherMac, &serial);
  WriteBytes(primaryFile_, bytes);
  EXPECT_EQ(Guid(), stored);
  EXPECT_EQ(ReadAll(primaryFile_), bytes);  // left as it was

  Digest mac = Md5Of(Mac());
  Digest otherSerial = Md5Of("OTHER");
  WriteBytes(primaryFile_, FileBytes(2, stored, &mac, &otherSerial));
  EXPECT_EQ(Guid(), stored);

  // Both changed: a new machine as far as the identity goes.
  WriteBytes(primaryFile_, FileBytes(2, stored, &otherMac, &otherSerial));
  EXPECT_EQ(Guid(), Computed());
  EXPECT_EQ(ReadAll(primaryFile_), FileBytes(2, Computed(), &mac, &serial));
}

TEST_F(IdentityFileTest, ShortOrUnknownFilesCountAsAbsent) {
  MakeFolders(source_.primary);
  Digest stored;
  stored.fill(0x17);
  auto v1 = FileBytes(1, stored, nullptr, nullptr);
  v1.pop_back();  // 19 bytes
  WriteBytes(primaryFile_, v1);
  EXPECT_EQ(Guid(), Computed());
  EXPECT_EQ(ReadAll(primaryFile_).size(), CIdentityFile::kVersion2Size);

  Digest mac = Md5Of(Mac());
  WriteBytes(primaryFile_, FileBytes(3, stored, &mac, &mac));
  EXPECT_EQ(Guid(), Computed());
  // Version 2 cut short after the MAC digest.
  WriteBytes(primaryFile_, FileBytes(2, stored, &mac, nullptr));
  EXPECT_EQ(Guid(), Computed());
  WriteBytes(primaryFile_, {});
  EXPECT_EQ(Guid(), Computed());
}

TEST_F(IdentityFileTest, AlternateFileMovesToPrimaryAndKeepsItsGuid) {
  MakeFolders(source_.alternate);
  Digest stored;
  stored.fill(0x5C);
  Digest mac = Md5Of(Mac());
  Digest serial = Md5Of("WD-123");
  auto bytes = FileBytes(2, stored, &mac, &serial);
  WriteBytes(alternateFile_, bytes);
  EXPECT_EQ(Guid(), stored);
  EXPECT_FALSE(files::Exists(alternateFile_));
  EXPECT_EQ(ReadAll(primaryFile_), bytes);
}

TEST_F(IdentityFileTest, UnusablePrimaryFolderFallsBackToAlternate) {
  source_.primary.clear();
  Digest guid = Guid();
  EXPECT_EQ(guid, Computed());
  EXPECT_EQ(ReadAll(alternateFile_).size(), CIdentityFile::kVersion2Size);
  // The alternate file is read back while the primary stays unusable.
  source_.adapters = {Adapter(kAdapterTypeEthernet, 0, 0x99)};
  source_.disk.model = "changed";
  EXPECT_EQ(Guid(), guid);
}

TEST_F(IdentityFileTest, NoUsableFolderStillGivesTheGuid) {
  source_.primary.clear();
  source_.alternate = Join(Join(root_, "missing"), "deeper");  // cannot be created
  EXPECT_EQ(Guid(), Computed());
}

TEST_F(IdentityFileTest, HolderServesItsCacheAfterTheFirstRequest) {
  CSeqIDGen gen{std::unique_ptr<IIdentitySource>(new FakeSource(source_))};
  Digest first{};
  ASSERT_TRUE(gen.GetGuid(first.data()));
  ASSERT_TRUE(fs::remove(primaryFile_));
  MakeFolders(source_.primary);
  Digest other;
  other.fill(1);
  WriteBytes(primaryFile_, FileBytes(1, other, nullptr, nullptr));
  Digest second{};
  ASSERT_TRUE(gen.GetGuid(second.data()));
  EXPECT_EQ(first, second);
  EXPECT_FALSE(gen.GetGuid(nullptr));
}

TEST_F(IdentityFileTest, ConcurrentFirstRequestsAgree) {
  CSeqIDGen gen{std::unique_ptr<IIdentitySource>(new FakeSource(source_))};
  std::vector<Digest> results(8);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&gen, &r] { gen.GetGuid(r.data()); });
  for (auto& t : threads) t.join();
  for (const Digest& r : results) EXPECT_EQ(r, Computed());
  EXPECT_EQ(ReadAll(primaryFile_).size(), CIdentityFile::kVersion2Size);
}

TEST(IdentityPublic, TextFormsAreZeroPadded32DigitBuffers) {
  EXPECT_FALSE(GetMachineGuidString(nullptr));
  EXPECT_FALSE(GetMachineGuidStringW(nullptr));
  EXPECT_FALSE(GetMachineGuid(nullptr));
  char narrow[260];
  std::memset(narrow, 'x', sizeof narrow);
  ASSERT_TRUE(GetMachineGuidString(narrow));
  char16_t wide[260];
  std::fill(wide, wide + 260, u'x');
  ASSERT_TRUE(GetMachineGuidStringW(wide));
  Digest guid{};
  ASSERT_TRUE(GetMachineGuid(guid.data()));
  std::string text = GuidText(guid);
  for (int i = 0; i < 260; ++i) {
    char expected = i < 32 ? text[i] : '\0';
    ASSERT_EQ(narrow[i], expected) << i;
    ASSERT_EQ(wide[i], char16_t(expected)) << i;
    if (i < 32) {
      ASSERT_TRUE(std::isxdigit(static_cast<unsigned char>(expected)) && !std::isupper(expected));
    }
  }
}
