// SPDX-License-Identifier: GPL-3.0-or-later
// Evidence sources and the chain of custody, run as an examiner runs them: E01 images made with
// ewfacquire and split raw images of a test image, hashes checked against md5sum, sha1sum and
// sha256sum of the same bytes, case logs read with jq. Labelled evidence; its ./test stage
// installs ewf-tools, libewf-dev and jq.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "evidence/digest.h"
#include "evidence/sources.h"
#include "scan/scanner.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::Slurp;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// A shell command's exit status and standard output.
std::pair<int, std::string> Shell(const std::string& command) {
  int status = -1;
  std::string out = test::Shell(command, &status);
  return {status, std::move(out)};
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

class EvidenceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    // Noise with recordings, then a MiB of zeros (chunks that compress), in whole sectors.
    testimage::ImageBuilder image(3u << 20, testimage::Fill::kNoise, 7);
    image.AddRecording(4096, 1393977580, 40, 25, 4800);
    image.AddRecording(1000000, 1393981200, 30, 25, 3000);
    image.AddRecording(2200000, 1391212770, 20, 25, 2500);
    std::vector<uint8_t> bytes = image.bytes();
    bytes.resize(bytes.size() + (1u << 20), 0);
    test::WriteFile(Raw(), bytes);
    raw_json_ = Scan({"--quiet", "--format", "json", Raw()}).out;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string Raw() { return dir_->File("disk.img"); }

  static Outcome Scan(const std::vector<std::string>& args) {
    Outcome o;
    static int n = 0;
    const std::string out = dir_->File("run" + std::to_string(++n) + ".out");
    const std::string err = dir_->File("run" + std::to_string(n) + ".err");
    o.status = test::ChildProcess(KORVANE_SCAN_BINARY, args, out, err).Wait();
    o.out = Slurp(out);
    o.err = Slurp(err);
    return o;
  }

  // An E01 of the raw image in 1 MiB segments, with the given compression; returns its first
  // segment.
  static std::string Acquire(const std::string& name, const std::string& compression) {
    const std::string target = dir_->File(name);
    const auto [status, out] = Shell("ewfacquire -u -q -t " + Quote(target) + " -c " + compression +
                                     " -S 1MiB -d sha1 -C CASE-7 -e 'Ann Examiner' -D 'DVR disk' " +
                                     Quote(Raw()) + " 2>&1");
    EXPECT_EQ(status, 0) << out;
    return target + ".E01";
  }

  // The log's value at a jq path, as jq prints it raw.
  static std::string Jq(const std::string& log, const std::string& filter) {
    return Trim(Shell("jq -r " + Quote(filter) + " " + Quote(log)).second);
  }

  static std::string Sum(const std::string& tool, const std::string& file) {
    return Shell(tool + " " + Quote(file) + " | cut -d' ' -f1").second.substr(0, 64 + 1);
  }

  static test::TempDir* dir_;
  static std::string raw_json_;
};

test::TempDir* EvidenceTest::dir_ = nullptr;
std::string EvidenceTest::raw_json_;

// Every saved file, by name, equal to the one saved from the raw image.
void ExpectSameFiles(const fs::path& want, const fs::path& got) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(want)) {
    if (e.path().extension() == ".dav") names.push_back(e.path().filename().string());
  }
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    EXPECT_EQ(Slurp((got / name).string()), Slurp((want / name).string())) << name;
  }
}

TEST_F(EvidenceTest, E01ListsAndSavesWhatTheRawImageHoldsAndVerifies) {
  ASSERT_NE(raw_json_.find("\"position\": 4096"), std::string::npos) << raw_json_;
  const fs::path from_raw = dir_->path() / "from-raw";
  fs::create_directory(from_raw);
  ASSERT_EQ(Scan({"--quiet", "--save", from_raw.string(), Raw()}).status, 0);

  const std::vector<std::string> compressions = {"none", "deflate:best", "deflate:fast"};
  for (size_t k = 0; k < compressions.size(); ++k) {
    const std::string& compression = compressions[k];
    SCOPED_TRACE(compression);
    const std::string tag = std::to_string(k);
    const std::string e01 = Acquire("plain-" + tag, compression);
    ASSERT_TRUE(fs::exists(dir_->File("plain-" + tag + ".E03"))) << "several segments";
    if (k > 0) {
      // The MiB of zeros is stored compressed: the segments hold less than the media.
      uint64_t stored = 0;
      for (const auto& e : fs::directory_iterator(dir_->path())) {
        if (e.path().stem() == "plain-" + tag) stored += fs::file_size(e.path());
      }
      EXPECT_LT(stored, fs::file_size(Raw()) - (1u << 19));
    }
    // By content: an image of one segment under another name is still an E01.
    const std::string renamed = dir_->File("evidence-" + tag + ".bin");
    ASSERT_EQ(Shell("ewfacquire -u -q -t " + Quote(dir_->File("whole-" + tag)) + " -c " +
                    compression + " " + Quote(Raw()) + " >/dev/null 2>&1")
                  .first,
              0);
    fs::rename(dir_->File("whole-" + tag + ".E01"), renamed);
    EXPECT_TRUE(evidence::HasEwfSignature(renamed));
    EXPECT_FALSE(evidence::HasEwfSignature(Raw()));
    for (const std::string& source : {e01, renamed}) {
      const Outcome listed = Scan({"--quiet", "--format", "json", source});
      EXPECT_EQ(listed.status, 0) << listed.err;
      EXPECT_EQ(listed.out, raw_json_);
    }

    const fs::path saved = dir_->path() / ("saved-" + tag);
    fs::create_directory(saved);
    const std::string log = dir_->File("log-" + tag + ".json");
    const Outcome o = Scan({"--quiet", "--format", "json", "--verify", "--hash", "sha256", "--save",
                            saved.string(), "--log", log, e01});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, raw_json_);
    ExpectSameFiles(from_raw, saved);
    EXPECT_EQ(Jq(log, ".verification.result"), "match");
    EXPECT_EQ(Jq(log, ".verification.hashes | length"), "2");
    EXPECT_EQ(Jq(log, ".source.kind"), "e01");
    EXPECT_EQ(Jq(log, ".source.files | length"),
              Trim(Shell("ls " + Quote(dir_->File("plain-" + tag)) + ".E* | wc -l").second));
    EXPECT_EQ(Jq(log, ".source.stored_hashes.md5"), Trim(Sum("md5sum", Raw())));
    EXPECT_EQ(Jq(log, ".source.acquisition.case_number"), "CASE-7");
    EXPECT_EQ(Jq(log, ".source.acquisition.examiner_name"), "Ann Examiner");
    EXPECT_EQ(Jq(log, ".hashes.sha256"), Trim(Sum("sha256sum", Raw())));
    EXPECT_EQ(Jq(log, "[.files[] | select(.kind == \"saved\") | .sha256] | length"),
              Jq(log, ".counts.recordings"));
    EXPECT_EQ(Jq(log, ".files[] | select(.kind == \"listing\") | .path"),
              (saved / "recordings.csv").string());
    EXPECT_EQ(Jq(log, ".exit_status"), "0");
  }
}

TEST_F(EvidenceTest, E01CorruptChunkIsUnreadableAndFailsVerification) {
  const std::string e01 = Acquire("corrupt", "none");
  // Bytes in the middle of the second segment's chunk data.
  const std::string second = dir_->File("corrupt.E02");
  test::WriteAt(second, 500000, std::vector<uint8_t>(64, 0x5a));
  const std::string log = dir_->File("corrupt.json");
  const Outcome o =
      Scan({"--quiet", "--format", "json", "--hash", "md5,sha1,sha256", "--log", log, e01});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_NE(o.err.find("32768 bytes could not be read"), std::string::npos) << o.err;
  EXPECT_EQ(Jq(log, ".unreadable_bytes"), "32768");
  EXPECT_EQ(Jq(log, ".hashes.unreadable_bytes_hashed_as_zeros"), "32768");
  // The same bytes as libewf's own export with bad chunks zeroed.
  const std::string exported = dir_->File("corrupt-export");
  ASSERT_EQ(Shell("ewfexport -q -u -w -f raw -t " + Quote(exported) + " " + Quote(e01) +
                  " >/dev/null 2>&1")
                .first,
            0);
  EXPECT_EQ(Jq(log, ".hashes.md5"), Trim(Sum("md5sum", exported + ".raw")));
  EXPECT_EQ(Jq(log, ".hashes.sha1"), Trim(Sum("sha1sum", exported + ".raw")));
  EXPECT_EQ(Jq(log, ".hashes.sha256"), Trim(Sum("sha256sum", exported + ".raw")));
  EXPECT_NE(Trim(Sum("md5sum", exported + ".raw")), Trim(Sum("md5sum", Raw())));

  const Outcome verified = Scan({"--quiet", "--verify", e01});
  EXPECT_EQ(verified.status, 5) << verified.err;
  EXPECT_NE(verified.err.find("MISMATCH"), std::string::npos) << verified.err;
  // Verification of only part of the media reads all of it again.
  const Outcome part = Scan({"--quiet", "--verify", "--size", "1048576", e01});
  EXPECT_EQ(part.status, 5) << part.err;
}

TEST_F(EvidenceTest, VersionSaysWhetherE01ImagesAreRead) {
  const Outcome o = Scan({"--version"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("; E01 images: libewf 2"), std::string::npos) << o.out;
}

TEST_F(EvidenceTest, E01BesideItsRawImageIsReadWhole) {
  // disk.E01 ... next to disk.img, as acquisitions are often kept: the raw image is no segment.
  const std::string e01 = Acquire("disk", "deflate:fast");
  const Outcome o = Scan({"--quiet", "--format", "json", "--verify", e01});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, raw_json_);
}

TEST_F(EvidenceTest, E01MissingSegmentsAreClearErrors) {
  Acquire("gap", "none");
  fs::remove(dir_->File("gap.E02"));
  const std::string log = dir_->File("gap.json");
  Outcome o = Scan({"--quiet", "--log", log, dir_->File("gap.E01")});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_NE(o.err.find("gap.E02' is missing"), std::string::npos) << o.err;
  EXPECT_EQ(Jq(log, ".exit_status"), "1");
  EXPECT_EQ(Jq(log, ".source.kind"), "null");

  // The last segment missing: nothing after it tells, but the set is not whole.
  Acquire("short", "none");
  std::string last;
  for (const auto& e : fs::directory_iterator(dir_->path())) {
    if (e.path().stem() == "short" &&
        e.path().filename().string() > fs::path(last).filename().string()) {
      last = e.path().string();
    }
  }
  ASSERT_NE(last, dir_->File("short.E01"));
  fs::remove(last);
  o = Scan({"--quiet", dir_->File("short.E01")});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_NE(o.err.find("is the last segment missing?"), std::string::npos) << o.err;
}

TEST_F(EvidenceTest, SplitRawReadsItsSegmentsAsOneSource) {
  const std::string raw = Slurp(Raw());
  // Odd sizes, and a cut 10 bytes into the frame header at 1000000.
  const std::vector<size_t> cuts = {777777, 1000010, 2500001, raw.size()};
  size_t begin = 0;
  for (size_t i = 0; i < cuts.size(); ++i) {
    const std::string part = raw.substr(begin, cuts[i] - begin);
    test::WriteFile(dir_->File("split.00" + std::to_string(i + 1)),
                    std::vector<uint8_t>(part.begin(), part.end()));
    begin = cuts[i];
  }
  const std::string first = dir_->File("split.001");
  Outcome o = Scan({"--quiet", "--format", "json", first});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, raw_json_);
  const fs::path from_raw = dir_->path() / "split-raw", from_split = dir_->path() / "split-saved";
  fs::create_directory(from_raw);
  fs::create_directory(from_split);
  ASSERT_EQ(Scan({"--quiet", "--save", from_raw.string(), Raw()}).status, 0);
  ASSERT_EQ(Scan({"--quiet", "--save", from_split.string(), first}).status, 0);
  ExpectSameFiles(from_raw, from_split);

  // Hashes of a range, as dd cuts it out of the raw image.
  const std::string log = dir_->File("split.json");
  o = Scan({"--quiet", "--offset", "700001", "--size", "1500000", "--hash", "md5,sha1,sha256",
            "--log", log, first});
  EXPECT_EQ(o.status, 0) << o.err;
  const std::string range = dir_->File("range.bin");
  ASSERT_EQ(Shell("dd if=" + Quote(Raw()) + " of=" + Quote(range) +
                  " iflag=skip_bytes,count_bytes skip=700001 count=1500000 status=none")
                .first,
            0);
  EXPECT_EQ(Jq(log, ".hashes.md5"), Trim(Sum("md5sum", range)));
  EXPECT_EQ(Jq(log, ".hashes.sha1"), Trim(Sum("sha1sum", range)));
  EXPECT_EQ(Jq(log, ".hashes.sha256"), Trim(Sum("sha256sum", range)));
  EXPECT_EQ(Jq(log, ".hashes.bytes"), "1500000");
  EXPECT_EQ(Jq(log, ".source.kind"), "split raw");

  // A segment missing in the middle.
  fs::rename(dir_->File("split.003"), dir_->File("split.003.away"));
  o = Scan({"--quiet", first});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_NE(o.err.find("split.003' is missing"), std::string::npos) << o.err;
  fs::rename(dir_->File("split.003.away"), dir_->File("split.003"));
}

// The case log names the clock offset the times were corrected by; without one it has none.
TEST_F(EvidenceTest, CaseLogRecordsTheClockOffsetWhenGiven) {
  const std::string with = dir_->File("offset.json"), without = dir_->File("no-offset.json");
  Outcome o = Scan({"--quiet", "--log", with, "--clock-offset", "-1:02:03:04", Raw()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Jq(with, ".clock_offset.text"), "-1:02:03:04") << Slurp(with);
  EXPECT_EQ(Jq(with, ".clock_offset.seconds"), "-93784");
  o = Scan({"--quiet", "--log", without, Raw()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Jq(without, "has(\"clock_offset\")"), "false") << Slurp(without);
}

TEST_F(EvidenceTest, CaseLogIsJsonIsNeverReplacedAndIsWrittenAfterCtrlC) {
  const std::string log = dir_->File("case.json");
  Outcome o = Scan({"--quiet", "--log", log, "--examiner", "Zoë \"Z\" Examiner", "--case",
                    "2026/17", "--from", "2014/3/4", "--to", "2014/3/6", Raw()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Shell("jq -e . " + Quote(log) + " >/dev/null").first, 0) << Slurp(log);
  EXPECT_EQ(Jq(log, ".examiner"), "Zoë \"Z\" Examiner");
  EXPECT_EQ(Jq(log, ".case"), "2026/17");
  EXPECT_EQ(Jq(log, ".date_window.from"), "2014/3/4");
  EXPECT_EQ(Jq(log, ".command_line[0]"), "korvane-scan");
  EXPECT_EQ(Jq(log, ".source.size"), std::to_string(fs::file_size(Raw())));
  EXPECT_EQ(Jq(log, ".started | test(\"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z$\")"), "true");

  // A log that cannot be written is refused before the scan, once.
  o = Scan({"--quiet", "--log", dir_->File("missing/case.json"), Raw()});
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("--log: "), std::string::npos) << o.err;
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 2) << o.err;

  const std::string before = Slurp(log);
  o = Scan({"--quiet", "--log", log, Raw()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Slurp(log), before) << "an existing log is never replaced";
  EXPECT_EQ(Jq(dir_->File("case (1).json"), ".exit_status"), "0");

  // A scan long enough to interrupt: a large sparse image.
  const std::string big = dir_->File("big.img");
  test::MakeSparseFile(big, 1ull << 40);
  const std::string stopped = dir_->File("stopped.json");
  const std::string out = dir_->File("int.out"), err = dir_->File("int.err");
  test::ChildProcess scan(KORVANE_SCAN_BINARY,
                          {"--format", "csv", "--hash", "sha256", "--log", stopped, big}, out, err,
                          /*interruptible=*/true);
  for (int i = 0; i < 6000 && Slurp(out).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  scan.Interrupt();
  EXPECT_EQ(scan.Wait(), 130);
  EXPECT_EQ(Jq(stopped, ".exit_status"), "130") << Slurp(err);
  EXPECT_EQ(Jq(stopped, ".counts.scanned"), "true");
  // The hash covers exactly what was scanned before the stop: zeros.
  const std::string scanned = Jq(stopped, ".range.scanned_bytes");
  EXPECT_EQ(Jq(stopped, ".hashes.bytes"), scanned);
  EXPECT_EQ(Jq(stopped, ".hashes.sha256"),
            Trim(Shell("head -c " + scanned + " /dev/zero | sha256sum | cut -d' ' -f1").second));
}

TEST(DigestList, TakesEachKnownHashOnce) {
  auto kinds = evidence::ParseDigestList("sha256,md5");
  ASSERT_TRUE(kinds.ok());
  EXPECT_EQ(*kinds, (std::vector<evidence::DigestKind>{evidence::DigestKind::kSha256,
                                                       evidence::DigestKind::kMd5}));
  EXPECT_FALSE(evidence::ParseDigestList("md5,md5").ok());
  EXPECT_FALSE(evidence::ParseDigestList("crc32").ok());
  EXPECT_FALSE(evidence::ParseDigestList("md5,").ok());
  evidence::Digest empty(evidence::DigestKind::kSha1);
  EXPECT_EQ(*empty.Hex(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

}  // namespace
}  // namespace korvane
