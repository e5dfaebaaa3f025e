// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/source_reader.h"

#include <gtest/gtest.h>

#include <numeric>

#include "tests/test_support.h"

namespace korvane {
namespace {

using test::MemoryDevice;

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

struct Fixture {
  explicit Fixture(size_t size) : image(Counting(size)) {
    auto owned = std::make_unique<MemoryDevice>(image);
    device = owned.get();
    reader = std::make_unique<SourceReader>(std::move(owned));
  }
  std::vector<uint8_t> Read(size_t len, uint64_t offset, SourceReader::Stats* stats = nullptr) {
    std::vector<uint8_t> out(len, 0xEE);
    auto s = reader->ReadAligned(out.data(), len, offset);
    if (stats) *stats = s;
    return out;
  }
  std::vector<uint8_t> Expected(size_t len, uint64_t offset) {
    std::vector<uint8_t> out(len, 0);
    for (size_t i = 0; i < len; ++i) {
      if (offset + i < image.size()) out[i] = image[offset + i];
    }
    return out;
  }
  std::vector<uint8_t> image;
  MemoryDevice* device;
  std::unique_ptr<SourceReader> reader;
};

TEST(SourceReader, WidensRequestsToWholeSectors) {
  struct Case {
    uint64_t offset;
    size_t len;
    uint64_t start;
    size_t span;
  } const cases[] = {
      {0, 1049088, 0, 1049088},       // aligned at both ends: straight into the destination
      {512, 100, 512, 512},           // end raised to the next sector
      {1000, 1049088, 512, 1049600},  // start lowered, end raised
      {1024, 1000, 1024, 1024},      {1000, 24, 512, 512},
      {1536, 512, 1536, 512},  // an end already on a boundary is not raised further
  };
  for (const Case& c : cases) {
    Fixture f(3 << 20);
    EXPECT_EQ(f.Read(c.len, c.offset), f.Expected(c.len, c.offset)) << c.offset;
    ASSERT_EQ(f.device->calls.size(), 1u) << c.offset;
    EXPECT_EQ(f.device->calls[0].offset, c.start) << c.offset;
    EXPECT_EQ(f.device->calls[0].len, c.span) << c.offset;
  }
}

TEST(SourceReader, ZeroLengthReadsNothing) {
  Fixture f(4096);
  std::vector<uint8_t> out(4, 0xEE);
  f.reader->ReadAligned(out.data(), 0, 1000);
  EXPECT_TRUE(f.device->calls.empty());
  EXPECT_EQ(out, std::vector<uint8_t>(4, 0xEE));
}

TEST(SourceReader, BytesPastTheEndReadAsZerosWithoutError) {
  Fixture f(10000);  // not a multiple of 512
  SourceReader::Stats stats;
  EXPECT_EQ(f.Read(4096, 8000, &stats), f.Expected(4096, 8000));
  EXPECT_EQ(stats.unreadable, 0u);
  EXPECT_EQ(f.Read(600, 9999), f.Expected(600, 9999));
  const size_t calls = f.device->calls.size();
  EXPECT_EQ(f.Read(512, 10000), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(f.Read(512, UINT64_MAX - 100), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(f.device->calls.size(), calls) << "nothing is read past the end";
}

TEST(SourceReader, ShortReadsAreCompleted) {
  Fixture f(1 << 20);
  f.device->max_read = 777;
  EXPECT_EQ(f.Read(300000, 1234), f.Expected(300000, 1234));
  EXPECT_EQ(f.Read(262144, 0), f.Expected(262144, 0));
}

TEST(SourceReader, UnreadableSectorsAreSalvagedAroundAndCounted) {
  Fixture f(2 << 20);
  f.device->bad_sectors = {3, 4, 1000, 2047};
  SourceReader::Stats stats;
  const auto got = f.Read(1 << 20, 0, &stats);
  auto want = f.Expected(1 << 20, 0);
  for (uint64_t s : f.device->bad_sectors) {
    std::fill_n(want.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0);
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(stats.unreadable, 4u * 512);
  EXPECT_EQ(stats.error, "Input/output error");
}

TEST(SourceReader, UnreadableBytesCountOnlyWhatWasAskedFor) {
  Fixture f(1 << 20);
  f.device->bad_sectors = {2};  // bytes 1024..1535
  SourceReader::Stats stats;
  f.Read(100, 1100, &stats);  // unaligned: the bounce read covers the whole sector
  EXPECT_EQ(stats.unreadable, 100u);
  std::vector<uint8_t> out(2048);
  stats = f.reader->ReadAligned(out.data(), 2048, 0, /*counted=*/1024);
  EXPECT_EQ(stats.unreadable, 0u) << "the bad sector lies in the uncounted overlap";
}

TEST(SourceReader, OpensRealFilesReadOnlyAndRefusesOthers) {
  test::TempDir dir;
  auto refused = SourceReader::Open(dir.File("missing.img"));
  ASSERT_FALSE(refused.ok());
  std::string error = refused.status().message();
  EXPECT_EQ(refused.status().code(), ErrorCode::kOpenFailed);
  EXPECT_NE(error.find("missing.img"), std::string::npos) << error;
  EXPECT_NE(error.find(test::NoSuchFileText()), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing.img"))) << "open never creates";

  refused = SourceReader::Open(dir.path().string());
  EXPECT_FALSE(refused.ok());
  error = refused.status().message();
  EXPECT_NE(error.find("directory"), std::string::npos) << error;

  refused = SourceReader::Open(test::kNullDevice);
  EXPECT_FALSE(refused.ok());
  error = refused.status().message();
  EXPECT_NE(error.find("character device"), std::string::npos) << error;

  const std::vector<uint8_t> bytes = Counting(5000);
  test::WriteFile(dir.File("image.img"), bytes);
  auto opened = SourceReader::Open(dir.File("image.img"));
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  SourceReader& reader = **opened;
  EXPECT_EQ(reader.Size(), 5000u);
  std::vector<uint8_t> out(3999);
  reader.ReadAligned(out.data(), out.size(), 1001);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 1001));
}

}  // namespace
}  // namespace korvane
