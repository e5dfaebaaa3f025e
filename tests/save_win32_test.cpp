// SPDX-License-Identifier: GPL-3.0-or-later
// Saving on Windows: the system's SHA-256, folders named in any script, no replacing, nothing
// half-written left behind, and korvane-scan --save.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "scan/save.h"
#include "scan/save_folder.h"
#include "scan/sha256.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::Listing;
using test::Slurp;

// Contents of a file whose name need not fit the system's 8-bit code page.
std::string Contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Digest(const std::string& text, size_t piece) {
  Sha256 hash;
  for (size_t at = 0; at < text.size(); at += piece) {
    hash.Update(reinterpret_cast<const uint8_t*>(text.data()) + at,
                std::min(piece, text.size() - at));
  }
  Result<std::string> hex = hash.Hex();
  return hex.ok() ? *hex : "failed: " + hex.status().message();
}

TEST(Win32Save, Sha256MatchesTheStandardsVectors) {
  EXPECT_EQ(Digest("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest(std::string(1000000, 'a'), 4099),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

class Win32SaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testimage::ImageBuilder image(4 << 20, testimage::Fill::kNoise, 5);
    image.AddRecording(4096, 1393891200, 20, 1, 5000);
    image.AddRecording(2 << 20, 1393894800, 200, 1, 7000);  // 1.4 MB
    image_ = image.bytes();
    source_ = dir_.File("disk.img");
    test::WriteFile(source_, image_);
    recordings_ = test::ReferenceScan(image_, 0, image_.size());
    ASSERT_EQ(recordings_.size(), 2u);
    folder_ = dir_.path() / u8"保存的录像";
    std::filesystem::create_directory(folder_);
  }

  std::string Bytes(const Recording& r) const {
    return std::string(image_.begin() + static_cast<ptrdiff_t>(r.position),
                       image_.begin() + static_cast<ptrdiff_t>(r.end_position));
  }

  test::TempDir dir_;
  std::vector<uint8_t> image_;
  std::string source_;
  std::vector<Recording> recordings_;
  std::filesystem::path folder_;
};

TEST_F(Win32SaveTest, SavesIntoAFolderNamedInAnyScriptAndNeverReplaces) {
  std::ofstream(folder_ / "1.dav", std::ios::binary) << "mine";
  // A log whose last line lacks its line break gets one before the next line.
  std::ofstream(folder_ / "recordings.csv", std::ios::binary)
      << std::string(kManifestHeader, sizeof kManifestHeader - 2);
  SaveJob job{source_, test::Utf8Path(folder_), recordings_, DateWindow{}};
  SaveSink sink;
  std::atomic<int> stop{0};
  SaveResult result = SaveRecordings(job, sink, stop);
  ASSERT_TRUE(result.AllSaved()) << result.status.message() << result.manifest_error;
  ASSERT_EQ(result.files.size(), 2u);
  EXPECT_EQ(result.files[0].file_name, "0.dav");
  EXPECT_EQ(result.files[1].file_name, "1 (1).dav");
  EXPECT_EQ(Contents(folder_ / "1.dav"), "mine") << "an existing file is never replaced";
  EXPECT_EQ(Contents(folder_ / "0.dav"), Bytes(recordings_[0]));
  EXPECT_EQ(Contents(folder_ / "1 (1).dav"), Bytes(recordings_[1]));
  EXPECT_EQ(result.files[1].sha256, Digest(Bytes(recordings_[1]), 1 << 16));

  result = SaveRecordings(job, sink, stop);  // again: new names, one header
  ASSERT_TRUE(result.AllSaved());
  EXPECT_EQ(result.files[0].file_name, "0 (1).dav");
  EXPECT_EQ(Listing(folder_), (std::vector<std::string>{"0 (1).dav", "0.dav", "1 (1).dav",
                                                        "1 (2).dav", "1.dav", "recordings.csv"}));
  const std::string csv = Contents(folder_ / "recordings.csv");
  EXPECT_EQ(csv.rfind(kManifestHeader, 0), 0u) << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5) << csv;
  EXPECT_NE(csv.find("\n1 (2).dav," + recordings_[1].StartText() + ","), std::string::npos) << csv;
}

TEST_F(Win32SaveTest, RecordingsCsvNamesTheSourceByItsFullPath) {
  std::filesystem::create_directory(dir_.path() / "sub");
  const std::string typed = test::Utf8Path(dir_.path()) + "\\.\\sub\\..\\disk.img";
  SaveJob job{typed, test::Utf8Path(folder_), {recordings_[0]}, DateWindow{}};
  SaveSink sink;
  std::atomic<int> stop{0};
  const SaveResult result = SaveRecordings(job, sink, stop);
  ASSERT_TRUE(result.AllSaved()) << result.status.message() << result.manifest_error;
  const std::string csv = Contents(folder_ / "recordings.csv");
  const std::string full =
      test::Utf8Path(std::filesystem::absolute(dir_.path() / "disk.img").lexically_normal());
  EXPECT_NE(csv.find("," + full + "," + std::to_string(recordings_[0].position) + ","),
            std::string::npos)
      << csv;
  EXPECT_EQ(csv.find("\\.\\"), std::string::npos) << csv;
}

TEST_F(Win32SaveTest, AStoppedFileLeavesNothingBehind) {
  // The stop request is seen after the first MiB written.
  SaveJob job{source_, test::Utf8Path(folder_), {recordings_[1]}, DateWindow{}};
  SaveSink sink;
  std::atomic<int> stop{1};
  const SaveResult result = SaveRecordings(job, sink, stop);
  EXPECT_EQ(result.status.code(), ErrorCode::kStopped);
  for (const std::string& name : Listing(folder_)) {
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    EXPECT_EQ(name.find(".dav"), std::string::npos) << name;
  }

  Status error = CheckSaveFolder(test::Utf8Path(folder_ / "missing"));
  EXPECT_FALSE(error.ok());
  EXPECT_NE(error.message().find("does not exist"), std::string::npos) << error.message();
  error = CheckSaveFolder(source_);
  EXPECT_FALSE(error.ok());
  EXPECT_NE(error.message().find("is not a folder"), std::string::npos) << error.message();
}

TEST_F(Win32SaveTest, TheCommandLineSavesIntoAFolderNamedInAnyScript) {
  const std::string out = dir_.File("out"), err = dir_.File("err");
  const int status =
      test::ChildProcess(KORVANE_SCAN_BINARY,
                         {"--save", test::Utf8Path(folder_), "--select", "1", source_}, out, err)
          .Wait();
  EXPECT_EQ(status, 0) << Slurp(err);
  EXPECT_EQ(Listing(folder_), (std::vector<std::string>{"1.dav", "recordings.csv"}));
  EXPECT_EQ(Contents(folder_ / "1.dav"), Bytes(recordings_[1]));
}

TEST_F(Win32SaveTest, AFolderNextToTheImageOrAwayFromTheDriveIsNotTheSource) {
  // Writing next to an image file does not change it; a drive that does not exist, or whose
  // volumes the system cannot list, does not stop a save either.
  EXPECT_TRUE(FolderWritesToSource(test::Utf8Path(folder_), source_).ok());
  EXPECT_TRUE(FolderWritesToSource(test::Utf8Path(folder_), "\\\\.\\PhysicalDrive99").ok());
  const Status error = CheckSaveFolder(test::Utf8Path(folder_), source_);
  EXPECT_TRUE(error.ok()) << error.message();
}

}  // namespace
}  // namespace korvane
