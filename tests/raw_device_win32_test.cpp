// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows raw device on real files: reads, sizes, names in any script, the system's messages.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "scan/raw_device.h"
#include "scan/scanner.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// The system's message for an error code, fetched here on its own (8-bit) way.
std::string AnsiSystemMessage(DWORD code) {
  char text[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

// Noise with recordings across 1 MiB boundaries, a stray magic and a frame at the very end.
std::vector<uint8_t> GeneratedImage(size_t size) {
  testimage::ImageBuilder image(size, testimage::Fill::kNoise, 11);
  image.AddRecording(700, 1393891180, 130, 2, 9000);  // crosses the first 1 MiB boundary
  image.AddStrayMagic(kMiB + 400001, testimage::PackDate(2020, 5, 6, 7, 8, 9));
  image.AddRecording(2 * kMiB - 5, 1391212770, 30, 1, 3000);
  image.AddFrame({size - 200, testimage::PackDate(2014, 4, 1, 9, 0, 0), 100});
  return image.bytes();
}

void ExpectSameRecordings(const std::vector<Recording>& got, const std::vector<Recording>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(test::SameRecording(got[i], want[i]))
        << test::Describe(got[i]) << " != " << test::Describe(want[i]);
  }
}

// The device, or null with *error set to why not.
std::unique_ptr<RawDevice> OpenDevice(const std::string& path, std::string* error) {
  auto device = OpenRawDevice(path);
  if (!device.ok()) {
    *error = device.status().message();
    return nullptr;
  }
  return std::move(*device);
}

// The bytes delivered, or -1 with *error set to why not.
int64_t ReadDevice(RawDevice& device, void* dst, size_t len, uint64_t offset, std::string* error) {
  const Result<size_t> got = device.ReadAt(dst, len, offset);
  if (!got.ok()) {
    *error = got.status().message();
    return -1;
  }
  return static_cast<int64_t>(*got);
}

TEST(Win32RawDevice, ReadsAndScansAGeneratedImage) {
  test::TempDir dir;
  const std::vector<uint8_t> image = GeneratedImage(3 * kMiB + 777);  // ends mid-sector
  const std::string file = dir.File("disk.img");
  test::WriteFile(file, image);

  std::string error;
  auto device = OpenDevice(file, &error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(device->Size(), image.size());
  std::vector<uint8_t> buffer(4096);
  EXPECT_EQ(ReadDevice(*device, buffer.data(), 4096, 1000, &error), 4096);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image.begin() + 1000));
  EXPECT_EQ(ReadDevice(*device, buffer.data(), 4096, image.size() - 777, &error), 777)
      << "short read";
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 777, image.end() - 777));
  EXPECT_EQ(ReadDevice(*device, buffer.data(), 4096, image.size(), &error), 0);
  EXPECT_EQ(ReadDevice(*device, buffer.data(), 4096, uint64_t{1} << 40, &error), 0);
  device.reset();

  std::atomic<int> stop{0};
  ScanJob job;
  job.source = file;
  test::RecordingSink sink;
  const ScanResult result = ScanSource(job, sink, stop);
  ASSERT_EQ(result.status.code(), ErrorCode::kOk) << result.status.message();
  EXPECT_EQ(result.unreadable_bytes, 0u);
  ExpectSameRecordings(sink.closed, test::ReferenceScan(image, 0, image.size()));
  EXPECT_EQ(sink.closed.size(), 4u);

  job.offset = kMiB + 1;
  job.size = 2 * kMiB;
  test::RecordingSink part;
  ASSERT_EQ(ScanSource(job, part, stop).status.code(), ErrorCode::kOk);
  ExpectSameRecordings(part.closed, test::ReferenceScan(image, kMiB + 1, 2 * kMiB));
}

TEST(Win32RawDevice, ReadsPastFourGibibytes) {
  // The 64-bit offset is split into two 32-bit halves for the system: the high half must count.
  test::TempDir dir;
  const std::string file = dir.File("big.img");
  const uint64_t at = (uint64_t{4} << 30) + 3 * kMiB;
  const std::vector<uint8_t> head = GeneratedImage(3 * kMiB + 777);
  test::MakeSparseFile(file, at + head.size() + kMiB);
  test::WriteAt(file, at, head);

  std::string error;
  auto device = OpenDevice(file, &error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(device->Size(), at + head.size() + kMiB);
  std::vector<uint8_t> buffer(8192);
  ASSERT_EQ(ReadDevice(*device, buffer.data(), buffer.size(), at, &error), 8192) << error;
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), head.begin()));
  device.reset();

  std::atomic<int> stop{0};
  ScanJob job;
  job.source = file;
  job.offset = at - kMiB;
  job.size = head.size() + 2 * kMiB;
  test::RecordingSink sink;
  ASSERT_EQ(ScanSource(job, sink, stop).status.code(), ErrorCode::kOk);
  std::vector<Recording> want = test::ReferenceScan(head, 0, head.size());
  for (Recording& r : want) {
    r.position += at;
    r.end_position += at;
  }
  ExpectSameRecordings(sink.closed, want);
}

// The command line's side (arguments and messages in any script) is in the CLI tests.
TEST(Win32RawDevice, NamesInAnyScriptOpen) {
  test::TempDir dir;
  const std::filesystem::path folder = dir.path() / u8"录像 2014年";
  std::filesystem::create_directory(folder);
  const std::filesystem::path file = folder / u8"硬盘镜像.img";
  const std::vector<uint8_t> image = GeneratedImage(3 * kMiB);
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
  }
  ASSERT_TRUE(std::filesystem::exists(file));

  std::string error;
  auto device = OpenDevice(test::Utf8Path(file), &error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(device->Size(), image.size());
  std::vector<uint8_t> head(4096);
  ASSERT_EQ(ReadDevice(*device, head.data(), head.size(), 0, &error), 4096);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), image.begin()));

  const std::string missing = test::Utf8Path(folder / u8"不存在.img");
  EXPECT_FALSE(OpenDevice(missing, &error));
  EXPECT_EQ(error.rfind("cannot open '" + missing + "': ", 0), 0u) << error;
}

TEST(Win32RawDevice, FailuresCarryThePathAndTheSystemMessage) {
  test::TempDir dir;
  std::string error;
  const std::string missing = dir.File("missing.img");
  EXPECT_FALSE(OpenDevice(missing, &error));
  const std::string message = AnsiSystemMessage(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(error, "cannot open '" + missing + "': " + message);
  EXPECT_FALSE(std::filesystem::exists(missing)) << "open never creates";

  const std::string no_folder = dir.File("no folder\\disk.img");
  EXPECT_FALSE(OpenDevice(no_folder, &error));
  EXPECT_EQ(error, "cannot open '" + no_folder + "': " + AnsiSystemMessage(ERROR_PATH_NOT_FOUND));

  EXPECT_FALSE(OpenDevice(dir.path().string(), &error));
  EXPECT_NE(error.find("it is a directory"), std::string::npos) << error;
  EXPECT_FALSE(OpenDevice("NUL", &error));
  EXPECT_NE(error.find("it is a character device"), std::string::npos) << error;
  EXPECT_FALSE(OpenDevice("bad \xff\xfe name.img", &error));
  EXPECT_NE(error.find("not valid UTF-8"), std::string::npos) << error;
}

TEST(Win32RawDevice, SharesTheSourceAndHoldsNoWriteAccess) {
  test::TempDir dir;
  const std::string file = dir.File("shared.img");
  test::WriteFile(file, GeneratedImage(kMiB));
  const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE;

  // A recorder still writing the file does not keep it from being opened.
  const HANDLE writer =
      ::CreateFileA(file.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  std::string error;
  auto device = OpenDevice(file, &error);
  EXPECT_TRUE(device) << error;
  ::CloseHandle(writer);
  ASSERT_TRUE(device);

  // Someone allowing others to read only gets in: the open source holds no write access.
  const HANDLE reader = ::CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  if (reader != INVALID_HANDLE_VALUE) ::CloseHandle(reader);
  // Someone writing alongside is let in too.
  const HANDLE second =
      ::CreateFileA(file.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  if (second != INVALID_HANDLE_VALUE) ::CloseHandle(second);
}

}  // namespace
}  // namespace korvane
