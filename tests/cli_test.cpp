// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-scan run as a user runs it: a real process on real files.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "cli/options.h"
#include "cli/progress.h"
#include "scan/save.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

using test::Listing;
using test::Slurp;

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    testimage::ImageBuilder demo(0, testimage::Fill::kZeros);
    demo.bytes() = testimage::BuildDemoImage();
    std::string error;
    ASSERT_TRUE(demo.WriteTo(Demo(), &error)) << error;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string Demo() { return dir_->File("demo.img"); }

  // `runner` runs the program through another one (e.g. setpriv ARGS).
  Outcome Run(const std::vector<std::string>& args, std::vector<std::string> runner = {}) {
    const std::string out = dir_->File("out"), err = dir_->File("err");
    runner.push_back(KORVANE_SCAN_BINARY);
    std::vector<std::string> all(runner.begin() + 1, runner.end());
    all.insert(all.end(), args.begin(), args.end());
    Outcome o;
    o.status = test::ChildProcess(runner.front(), all, out, err).Wait();
    o.out = Slurp(out);
    o.err = Slurp(err);
    return o;
  }

  static test::TempDir* dir_;
};

test::TempDir* CliTest::dir_ = nullptr;

TEST_F(CliTest, ListsTheDemoRecordingsInEveryFormat) {
  Outcome o = Run({Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out,
            "name          start                end                  position\n"
            "0.dav         2014-03-04 23:59:40  2014-03-05 00:00:19  4096\n"
            "1.dav         2014-03-05 01:00:00  2014-03-05 01:00:39  998576\n"
            "2.dav         2014-01-31 23:59:30  2014-02-01 00:00:29  2097929\n"
            "3.dav         2031-07-19 03:14:15  2031-07-19 03:14:15  3150049\n"
            "4.dav         2014-04-01 09:00:00  2014-04-01 09:01:39  4194304\n");

  o = Run({"--format", "csv", Demo()});
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.out.substr(0, o.out.find('\n', 24) + 1),
            "name,start,end,position\n0.dav,2014-03-04 23:59:40,2014-03-05 00:00:19,4096\n");

  o = Run({"--format=tsv", Demo()});
  EXPECT_EQ(o.out.substr(0, 24), "name\tstart\tend\tposition\n");
  EXPECT_NE(o.out.find("3.dav\t2031-07-19 03:14:15\t2031-07-19 03:14:15\t3150049\n"),
            std::string::npos);

  o = Run({"--format", "json", Demo()});
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.out.front(), '[');
  EXPECT_NE(o.out.find("{\"name\": \"0.dav\", \"start\": \"2014-03-04 23:59:40\", \"end\": "
                       "\"2014-03-05 00:00:19\", \"position\": 4096, \"end_position\": 486656, "
                       "\"frames\": 80, \"channels\": [{\"channel\": 0, \"video_frames\": 80, "
                       "\"key_frames\": 4, \"audio_frames\": 0, \"codec\": null, \"width\": null, "
                       "\"height\": null, \"fps\": null}], \"valid_frames\": 80, "
                       "\"complete_frames\": 80}"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("\"position\": 3150049, \"end_position\": 3150073, \"frames\": 1, "
                       "\"channels\": [], \"valid_frames\": 0, \"complete_frames\": 0},\n"),
            std::string::npos)
      << "a stray magic counts as a 24-byte frame";
  EXPECT_EQ(o.out.substr(o.out.size() - 4), "}\n]\n");
}

// --group camera: per-channel rows with the channel in every format, the summary on stderr, and
// a saved recording holding only its channel's frames.
TEST_F(CliTest, GroupCameraListsEachChannelsRecordingsAndSavesOnlyTheirFrames) {
  testimage::ImageBuilder image(3 << 20, testimage::Fill::kNoise, 11);
  const int64_t t0 = DaysFromCivil(2014, 3, 4) * kSecondsPerDay + 7200;
  uint64_t pos = (1 << 20) - 3000;
  std::string channel3;
  for (int i = 0; i < 6; ++i) {
    image.AddFrame({pos, testimage::PackEpochSeconds(t0 + i / 2), 1500, i % 2 == 0, 0});
    pos += testimage::FrameLength(1500);
    // Channel 3's clock is 2 seconds behind.
    image.AddFrame({pos, testimage::PackEpochSeconds(t0 + i / 2 - 2), 900, i % 2 == 0, 3});
    channel3.append(
        image.bytes().begin() + static_cast<ptrdiff_t>(pos),
        image.bytes().begin() + static_cast<ptrdiff_t>(pos + testimage::FrameLength(900)));
    pos += testimage::FrameLength(900);
  }
  testimage::FrameSpec odd{pos + 5000, testimage::PackEpochSeconds(t0 + 100), 100};
  odd.type = 0x12;  // no frame type
  image.AddFrame(odd);
  const std::string file = dir_->File("two-cameras.img");
  std::string error;
  ASSERT_TRUE(image.WriteTo(file, &error)) << error;
  const std::string first = std::to_string((1 << 20) - 3000);
  const std::string second = std::to_string((1 << 20) - 3000 + testimage::FrameLength(1500));

  Outcome o = Run({"--group", "camera", "--format", "csv", file});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "name,channel,start,end,position\n"
            "0.dav,0,2014-03-04 02:00:00,2014-03-04 02:00:02," +
                first +
                "\n"
                "1.dav,3,2014-03-04 01:59:58,2014-03-04 02:00:00," +
                second + "\n");
  EXPECT_EQ(o.err,
            "korvane-scan: 13 matches of the magic, 1 of them not valid frames and 0 inside "
            "complete frames; 13 recordings by time, 2 by camera\n");
  o = Run({"--group=camera", "--format", "tsv", file});
  EXPECT_EQ(o.out.substr(0, o.out.find('\n') + 1), "name\tchannel\tstart\tend\tposition\n");
  EXPECT_NE(o.out.find("1.dav\t3\t2014-03-04 01:59:58\t"), std::string::npos) << o.out;
  o = Run({"--group", "camera", file});
  EXPECT_EQ(o.out.substr(0, o.out.find('\n') + 1),
            "name          channel  start                end                  position\n");
  EXPECT_NE(
      o.out.find("1.dav         3        2014-03-04 01:59:58  2014-03-04 02:00:00  " + second),
      std::string::npos)
      << o.out;
  o = Run({"--group", "camera", "--format", "json", file});
  EXPECT_NE(o.out.find("{\"name\": \"1.dav\", \"channel\": 3, \"start\": \"2014-03-04 01:59:58\""),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("\"frames\": 6, \"channels\": [{\"channel\": 3, \"video_frames\": 6, "
                       "\"key_frames\": 3, \"audio_frames\": 0"),
            std::string::npos)
      << o.out;
  o = Run({"--group", "time", "--format", "csv", file});
  EXPECT_EQ(o.out.substr(0, o.out.find('\n') + 1), "name,start,end,position\n");
  EXPECT_EQ(o.err, "") << "the time grouping leaves stderr as it was where it is no terminal";
  o = Run({"--group", "channel", file});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown grouping 'channel'"), std::string::npos) << o.err;

  const std::string folder = dir_->File("camera-save");
  std::filesystem::create_directory(folder);
  o = Run({"--group", "camera", "--save", folder, "--select", "1", file});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Slurp(folder + "/1.dav"), channel3) << "channel 3's frames and nothing between them";
}

TEST_F(CliTest, RangeAndDateWindow) {
  Outcome o = Run({"--offset", "1048576", "--size", "2097152", "--format", "csv", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  // The recording that started before the range is picked up at its first frame inside it.
  EXPECT_EQ(o.out,
            "name,start,end,position\n"
            "0.dav,2014-03-05 01:00:06,2014-03-05 01:00:39,1052768\n"
            "1.dav,2014-01-31 23:59:30,2014-02-01 00:00:29,2097929\n");

  o = Run({"--from", "2014/3/5", "--to", "2014/3/6", "--format", "csv", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "name,start,end,position\n"
            "0.dav,2014-03-05 00:00:00,2014-03-05 00:00:19,245376\n"
            "1.dav,2014-03-05 01:00:00,2014-03-05 01:00:39,998576\n");

  o = Run({"--from", "2014/1/31", "--to", "2014/2/1", "--format", "csv", Demo()});
  EXPECT_EQ(o.out,
            "name,start,end,position\n0.dav,2014-01-31 23:59:30,2014-01-31 23:59:59,2097929\n");

  // Two-digit years lie before every frame.
  o = Run({"--from", "14/3/4", "--to", "14/3/6", "--format", "csv", Demo()});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "name,start,end,position\n");
}

// --clock-offset: every format shows corrected times, json the recorder's own beside them, and the
// date window keeps or drops frames by their corrected day. Without it every output is as it was.
TEST_F(CliTest, ClockOffsetCorrectsEveryOutputAndTheDateWindow) {
  const std::string plain_csv =
      "name,start,end,position\n"
      "0.dav,2014-03-04 23:59:40,2014-03-05 00:00:19,4096\n"
      "1.dav,2014-03-05 01:00:00,2014-03-05 01:00:39,998576\n"
      "2.dav,2014-01-31 23:59:30,2014-02-01 00:00:29,2097929\n"
      "3.dav,2031-07-19 03:14:15,2031-07-19 03:14:15,3150049\n"
      "4.dav,2014-04-01 09:00:00,2014-04-01 09:01:39,4194304\n";
  Outcome o = Run({"--format", "csv", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, plain_csv);
  const Outcome plain_json = Run({"--format", "json", Demo()});
  EXPECT_EQ(plain_json.out.find("recorder_"), std::string::npos) << plain_json.out;
  EXPECT_EQ(plain_json.out.find("clock_offset"), std::string::npos);

  // Ahead by 20 seconds: the first recording lies wholly on the 4th once corrected.
  o = Run({"--clock-offset", "00:00:20", "--format", "csv", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out,
            "name,start,end,position\n"
            "0.dav,2014-03-04 23:59:20,2014-03-04 23:59:59,4096\n"
            "1.dav,2014-03-05 00:59:40,2014-03-05 01:00:19,998576\n"
            "2.dav,2014-01-31 23:59:10,2014-02-01 00:00:09,2097929\n"
            "3.dav,2031-07-19 03:13:55,2031-07-19 03:13:55,3150049\n"
            "4.dav,2014-04-01 08:59:40,2014-04-01 09:01:19,4194304\n");
  o = Run({"--clock-offset=+00:00:20", "--format", "tsv", Demo()});
  EXPECT_NE(o.out.find("0.dav\t2014-03-04 23:59:20\t2014-03-04 23:59:59\t4096\n"),
            std::string::npos)
      << o.out;
  o = Run({"--clock-offset", "00:00:20", Demo()});
  EXPECT_NE(o.out.find("0.dav         2014-03-04 23:59:20  2014-03-04 23:59:59  4096\n"),
            std::string::npos)
      << o.out;
  o = Run({"--clock-offset", "00:00:20", "--group", "camera", "--format", "csv", Demo()});
  EXPECT_NE(o.out.find("0.dav,0,2014-03-04 23:59:20,2014-03-04 23:59:59,4096\n"), std::string::npos)
      << o.out;
  o = Run({"--clock-offset", "00:00:20", "--format", "json", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(
      o.out.find("{\"name\": \"0.dav\", \"start\": \"2014-03-04 23:59:20\", \"end\": "
                 "\"2014-03-04 23:59:59\", \"recorder_start\": \"2014-03-04 23:59:40\", "
                 "\"recorder_end\": \"2014-03-05 00:00:19\", \"clock_offset\": \"+00:00:20\", "
                 "\"position\": 4096, \"end_position\": 486656, \"frames\": 80, "),
      std::string::npos)
      << o.out;
  // The json is the plain one but for the corrected times and the added fields.
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'),
            std::count(plain_json.out.begin(), plain_json.out.end(), '\n'));

  // The window is in corrected time: 00:00:00 to 00:00:19 of the 5th were the 4th's last seconds.
  o = Run({"--clock-offset", "00:00:20", "--from", "2014/3/5", "--to", "2014/3/6", "--format",
           "csv", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "name,start,end,position\n0.dav,2014-03-05 00:59:40,2014-03-05 01:00:19,998576\n");
  o = Run({"--clock-offset", "00:00:20", "--from", "2014/3/4", "--to", "2014/3/5", "--format",
           "csv", Demo()});
  EXPECT_EQ(o.out, "name,start,end,position\n0.dav,2014-03-04 23:59:20,2014-03-04 23:59:59,4096\n");
  // Behind by 30 seconds: the last half minute of January is February's first once corrected.
  o = Run({"--clock-offset", "-00:00:30", "--from", "2014/1/31", "--to", "2014/2/1", "--format",
           "csv", Demo()});
  EXPECT_EQ(o.out, "name,start,end,position\n");
  o = Run({"--clock-offset", "-00:00:30", "--from", "2014/2/1", "--to", "2014/2/2", "--format",
           "csv", Demo()});
  EXPECT_EQ(o.out,
            "name,start,end,position\n0.dav,2014-02-01 00:00:00,2014-02-01 00:00:59,2097929\n");
  // Days: a day and an hour behind moves March's 4th to the 6th.
  o = Run({"--clock-offset", "-1:01:00:00", "--from", "2014/3/6", "--to", "2014/3/7", "--format",
           "csv", Demo()});
  EXPECT_EQ(o.out,
            "name,start,end,position\n"
            "0.dav,2014-03-06 00:59:40,2014-03-06 01:00:19,4096\n"
            "1.dav,2014-03-06 02:00:00,2014-03-06 02:00:39,998576\n");

  // A malformed offset is a usage error naming the option, the text and what is wrong.
  for (const std::string bad : {"1:30", "1:25:00:00", "01:60:00", "-1:24:00:00", "01:00:00x",
                                "\xEF\xBC\x91:00:00", "", "+-01:00:00", "36501:00:00:00"}) {
    o = Run({"--clock-offset", bad, Demo()});
    EXPECT_EQ(o.status, 2) << bad;
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("--clock-offset takes [-]HH:MM:SS or [-]D:HH:MM:SS such as -01:30:00, "
                         "not '" +
                         bad + "': "),
              std::string::npos)
        << o.err;
  }
  o = Run({Demo(), "--clock-offset"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("--clock-offset needs an offset"), std::string::npos) << o.err;
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--offset", "-1", Demo()},
      {"--offset", "12x", Demo()},
      {"--size", "9223372036854775808", Demo()},
      {"--size", "99999999999999999999999", Demo()},
      {"--size", Demo()},
      {"--format", "xml", Demo()},
      {"--bogus", Demo()},
      {"--from", "2014/3/4", Demo()},
      {"--quiet=yes", Demo()},
      {Demo(), Demo()},
  };
  for (const auto& args : bad) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("Try 'korvane-scan --help'"), std::string::npos) << o.err;
  }
  for (const auto& dates : std::vector<std::pair<std::string, std::string>>{
           {"2014/3/4", "2014/3/4"}, {"2014/3/5", "2014/3/4"}, {"2014/1/31", "2014/1/4"}}) {
    const Outcome o = Run({"--from", dates.first, "--to", dates.second, Demo()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("结束日期需要大于开始日期!"), std::string::npos) << o.err;
  }
  // A date that is not a real calendar date in ASCII digits is refused for what it is, naming
  // the option and the text, never partly read or rolled over into another day.
  for (const std::string bad_date :
       {"2014-3-4", "x2014/3/1", "2014/\xEF\xBC\x93/1", "2014/3/\xC3\xA9", "2014/3/01x", "2014/3",
        "abc", "", "2014/2/30", "2014/13/1", "0000/1/1", "10000/1/1", "2014/0/1", "2013/2/29",
        "2100/2/29", "2014/3/4/5", " 2014/3/4", "+2014/3/4", "2014//4"}) {
    for (const std::string option : {"--from", "--to"}) {
      const bool from = option == "--from";
      const Outcome o = Run(
          {"--from", from ? bad_date : "2014/1/1", "--to", from ? "2015/1/1" : bad_date, Demo()});
      EXPECT_EQ(o.status, 2) << option << " " << bad_date;
      EXPECT_NE(o.err.find(option + " takes a date Y/M/D such as 2014/3/4, not '" + bad_date + "'"),
                std::string::npos)
          << o.err;
      EXPECT_EQ(o.err.find("结束日期需要大于开始日期!"), std::string::npos) << o.err;
    }
  }
  // Leap days and years as written stay acceptable; the order is judged on the real dates.
  EXPECT_EQ(Run({"--from", "2012/2/29", "--to", "2012/3/1", "--quiet", Demo()}).status, 0);
  EXPECT_EQ(Run({"--from", "2000/2/29", "--to", "9999/12/31", "--quiet", Demo()}).status, 0);
  EXPECT_EQ(Run({"--from", "14/3/4", "--to", "0014/03/05", "--quiet", Demo()}).status, 0);
  EXPECT_EQ(Run({"--size", "9223372036854775807", "--quiet", Demo()}).status, 0);
}

TEST_F(CliTest, SourcesThatCannotBeScannedExitWithOne) {
  Outcome o = Run({dir_->File("no such.img")});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "") << "nothing on stdout, not even a header";
  EXPECT_NE(o.err.find("no such.img"), std::string::npos);
  EXPECT_NE(o.err.find(test::NoSuchFileText()), std::string::npos) << o.err;

  o = Run({dir_->path().string()});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("directory"), std::string::npos) << o.err;

#ifdef _WIN32
  const std::string pipe = "\\\\.\\pipe\\korvane-test-" + std::to_string(::GetCurrentProcessId());
  const HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                           4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  o = Run({pipe});
  ::CloseHandle(server);
#else
  const std::string pipe = dir_->File("fifo");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  o = Run({pipe});  // must not hang waiting for a writer
#endif
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("pipe"), std::string::npos) << o.err;

#ifndef _WIN32
  o = Run({"/dev/zero"});  // endless: must be refused, not scanned
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("character device"), std::string::npos) << o.err;
  EXPECT_EQ(o.out, "");
#endif
}

TEST_F(CliTest, PathsWithChineseCharacters) {
  const std::filesystem::path folder = dir_->path() / u8"录像 备份";
  std::filesystem::create_directory(folder);
  const std::filesystem::path copy = folder / u8"硬盘镜像.img";
  std::filesystem::copy_file(Demo(), copy);
  const Outcome want = Run({"--format", "json", Demo()});
  const Outcome got = Run({"--format", "json", test::Utf8Path(copy)});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, want.out);

  const Outcome missing = Run({test::Utf8Path(folder / u8"不存在.img")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("不存在.img"), std::string::npos) << missing.err;
}

// Every range against the plain per-position scan of the same bytes: offsets and sizes at and
// past the end of the source, 0, 2^63 - 1 and sizes that are not whole sectors.
TEST_F(CliTest, OffsetsAndSizesAtAndPastTheEnd) {
  const std::vector<uint8_t> image = testimage::BuildDemoImage();
  const uint64_t size = image.size();
  ASSERT_NE(size % 512, 0u);
  constexpr uint64_t kMax = 9223372036854775807u;
  const std::vector<std::pair<uint64_t, std::optional<uint64_t>>> ranges = {
      {0, std::nullopt},
      {0, 0},
      {size, std::nullopt},
      {size, 1},
      {size + 1, 4096},
      {size - 1, 1},
      {size - 4, std::nullopt},
      {4096, 1},
      {1000, 1000},
      {12345, 1048575},
      {1048577, 3 * 1048576 + 511},
      {0, size - 1},
      {0, kMax},
      {kMax, std::nullopt},
      {kMax, kMax},
      {kMax - 1, 1},
  };
  for (const auto& [offset, length] : ranges) {
    std::vector<std::string> args = {"--format", "csv", "--offset", std::to_string(offset)};
    if (length) args.insert(args.end(), {"--size", std::to_string(*length)});
    args.push_back(Demo());
    const Outcome o = Run(args);
    const std::string context = "offset " + std::to_string(offset) + " size " +
                                (length ? std::to_string(*length) : "unset");
    ASSERT_EQ(o.status, 0) << context << "\n" << o.err;
    // A range past the source's end is said once, with where the source ends.
    const bool past = offset > size || (length && *length > size - offset);
    size_t notices = 0;
    for (size_t at = o.err.find("end of the source"); at != std::string::npos;
         at = o.err.find("end of the source", at + 1)) {
      ++notices;
    }
    EXPECT_EQ(notices, past ? 1u : 0u) << context << "\n" << o.err;
    if (past) {
      EXPECT_NE(o.err.find("at byte " + std::to_string(size)), std::string::npos) << o.err;
    }
    const uint64_t reach = length ? *length : (offset < size ? size - offset : 0);
    std::string want = "name,start,end,position\n";
    for (const Recording& r : test::ReferenceScan(image, offset, std::min(reach, size))) {
      want += r.Name() + "," + r.StartText() + "," + r.EndText() + "," +
              std::to_string(r.position) + "\n";
    }
    EXPECT_EQ(o.out, want) << context;
  }
}

#ifndef _WIN32  // /dev/full, closed descriptors and file size limits as POSIX has them
// A list that cannot be written is a failure that names the output, never a success: a full
// device (every format, and the help), a closed stdout, and a file that reaches its size limit
// after the header (the rows fail at the final flush).
TEST_F(CliTest, AListThatCannotBeWrittenExitsWithOne) {
  const std::string err = dir_->File("err");
  auto run = [&](const std::vector<std::string>& args, const std::string& out,
                 const std::function<void()>& in_child = {}) {
    Outcome o;
    o.status = test::ChildProcess(KORVANE_SCAN_BINARY, args, out, err, false, in_child).Wait();
    o.err = Slurp(err);
    return o;
  };
  for (const char* format : {"table", "tsv", "csv", "json"}) {
    const Outcome o = run({"--format", format, Demo()}, "/dev/full");
    EXPECT_EQ(o.status, 1) << format;
    EXPECT_NE(o.err.find("cannot write the list to standard output: " +
                         std::string(std::strerror(ENOSPC))),
              std::string::npos)
        << format << ": " << o.err;
  }
  Outcome o = run({"--help"}, "/dev/full");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("standard output"), std::string::npos) << o.err;

  o = run({Demo()}, dir_->File("out"), [] { ::close(1); });
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("cannot write the list to standard output"), std::string::npos) << o.err;

  o = run({"--format", "csv", Demo()}, dir_->File("out"), [] {
    signal(SIGXFSZ, SIG_IGN);      // writing past the limit fails, not kills
    const rlimit limit{100, 100};  // the header fits, the rows do not
    setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(
      o.err.find("cannot write the list to standard output: " + std::string(std::strerror(EFBIG))),
      std::string::npos)
      << o.err;
}
#endif

// The progress line fits the terminal: no line longer than its width less one column (a line
// that fills the last column wraps, and each update would leave a stale line behind), and the
// whole line when the width cannot be known.
TEST(ProgressLine, FitsTheTerminalsWidth) {
  const std::string label = "saving 12.dav (3 of 40)  ";
  for (const unsigned columns : {0u, 8u, 20u, 40u, 60u, 80u, 200u}) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
      cli::ProgressLine line(f, true, [columns] { return columns; });
      line.Start();
      const uint64_t total = 3ull << 40;
      line.Draw(total, total, label);
      line.Draw(total, total);
      line.Clear();
    }
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    std::vector<std::string> lines;
    for (size_t at = 0; (at = text.find("\r\033[K", at)) != std::string::npos;) {
      at += 4;
      lines.push_back(text.substr(at, text.find('\r', at) - at));
    }
    ASSERT_EQ(lines.size(), 3u) << columns;  // two lines, then the clearing
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_NE(lines[i].find("100.0%"), std::string::npos) << columns << ": " << lines[i];
      if (columns > 0) {
        EXPECT_LE(lines[i].size(), std::max(columns - 1, 6u)) << columns << ": " << lines[i];
      }
    }
    if (columns == 0 || columns == 200) {
      EXPECT_EQ(lines[0].rfind(label, 0), 0u) << lines[0];
      EXPECT_NE(lines[0].find("3.00 TiB of 3.00 TiB"), std::string::npos) << lines[0];
      EXPECT_NE(lines[0].find("MB/s"), std::string::npos) << lines[0];
    }
    if (columns == 40) {
      EXPECT_NE(lines[0].find("left"), std::string::npos) << lines[0];
    }
  }
}

#ifndef _WIN32  // file times and users as POSIX has them
struct FileState {
  std::string bytes;
  timespec mtime;
  timespec ctime;
  bool operator==(const FileState& o) const {
    return bytes == o.bytes && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileState StateOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return {Slurp(path), st.st_mtim, st.st_ctim};
}

TEST_F(CliTest, TheSourceIsNeverWritten) {
  test::TempDir own;
  const std::string source = own.File("evidence.img");
  std::filesystem::copy_file(Demo(), source);
  // A timestamp in the past, so that any write would be seen even within one clock tick.
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), past, 0), 0);
  const FileState before = StateOf(source);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {source},
           {"--format", "json", "--from", "2014/3/4", "--to", "2014/3/6", source},
           {"--offset", "1000", "--size", "99999999", source}}) {
    EXPECT_EQ(Run(args).status, 0);
  }
  EXPECT_TRUE(StateOf(source) == before) << "content, modification or change time moved";
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(own.path())) ++entries;
  EXPECT_EQ(entries, 1u) << "nothing is created beside the source";
}

TEST_F(CliTest, AFileWithoutReadPermissionIsRefusedForAnUnprivilegedUser) {
  test::TempDir own;
  std::filesystem::permissions(own.path(), std::filesystem::perms::all);  // the user may enter
  const std::string locked = own.File("locked.img"), open = own.File("readonly.img");
  std::filesystem::copy_file(Demo(), locked);
  std::filesystem::copy_file(Demo(), open);
  std::filesystem::permissions(locked, std::filesystem::perms::owner_write);  // 0200: no reading
  std::filesystem::permissions(open, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);  // 0444

  // Root reads everything; the check needs an unprivileged user.
  std::vector<std::string> as_user;
  if (geteuid() == 0) as_user = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  if (Run({"--version"}, as_user).status != 0) {
    GTEST_SKIP() << "the user nobody cannot run " << KORVANE_SCAN_BINARY << " here";
  }
  Outcome o = Run({"--format", "csv", locked}, as_user);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_NE(o.err.find("Permission denied"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("locked.img"), std::string::npos) << o.err;

  o = Run({"--format", "csv", open}, as_user);
  EXPECT_EQ(o.status, 0) << "a read-only file is all a scan needs\n" << o.err;
}
#endif

TEST(ByteCount, PlainDecimalUpToTheLargestSignedValue) {
  EXPECT_EQ(cli::ParseByteCount("0"), 0u);
  EXPECT_EQ(cli::ParseByteCount("9223372036854775807"), 9223372036854775807u);
  // Leading zeros are part of a plain decimal number, however many there are.
  EXPECT_EQ(cli::ParseByteCount("0000000000000000000000512"), 512u);
  EXPECT_EQ(cli::ParseByteCount("00000000000000000000000000"), 0u);
  EXPECT_EQ(cli::ParseByteCount("0009223372036854775807"), 9223372036854775807u);
  for (const char* bad : {"", "9223372036854775808", "18446744073709551616",
                          "00099999999999999999999", "+1", "-0", " 1", "1 ", "0x10", "1e3"}) {
    EXPECT_FALSE(cli::ParseByteCount(bad)) << bad;
  }
}

TEST_F(CliTest, HelpAndVersion) {
  Outcome o = Run({"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, cli::kUsage);
  o = Run({"--version"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out.rfind("korvane-scan 1.0.0.1 (search kernel: ", 0), 0u) << o.out;
}

TEST_F(CliTest, InterruptStopsAtAChunkBoundaryAndKeepsWhatWasFound) {
  // A large sparse image with a recording at its start: the scan takes long enough to interrupt.
  const std::string big = dir_->File("big.img");
  {
    testimage::ImageBuilder head(1 << 20, testimage::Fill::kNoise, 3);
    head.AddRecording(1000, 1393891200, 10, 1, 1000);
    test::MakeSparseFile(big, 1ull << 40);
    test::WriteAt(big, 0, head.bytes());
  }
  const std::string out = dir_->File("int.out"), err = dir_->File("int.err");
  test::ChildProcess scan(KORVANE_SCAN_BINARY, {"--format", "csv", big}, out, err,
                          /*interruptible=*/true);
  // Ctrl-C before the program has set its handler would end it outright. The header comes after
  // the handler, once the source is open.
  for (int i = 0; i < 6000 && Slurp(out).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  scan.Interrupt();
  EXPECT_EQ(scan.Wait(), 130);
  EXPECT_EQ(Slurp(out),
            "name,start,end,position\n0.dav,2014-03-04 00:00:00,2014-03-04 00:00:09,1000\n");
  EXPECT_NE(Slurp(err).find("stopped after"), std::string::npos) << Slurp(err);
}

TEST_F(CliTest, SaveWritesTheSelectedRecordingsAndRecordingsCsv) {
  const auto out = dir_->path() / "saved";
  std::filesystem::create_directory(out);
  Outcome o = Run({"--save", out.string(), "--select", "0, 2-3", "--format", "csv", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.substr(0, o.out.find('\n', 24) + 1),
            "name,start,end,position\n0.dav,2014-03-04 23:59:40,2014-03-05 00:00:19,4096\n")
      << "the list is printed as without --save";
  EXPECT_EQ(Listing(out), (std::vector<std::string>{"0.dav", "2.dav", "3.dav", "recordings.csv"}));
  EXPECT_NE(o.err.find("saved 0.dav as '0.dav' (482560 bytes)"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("saved 3 of 3 recordings"), std::string::npos) << o.err;
  std::string csv = Slurp((out / "recordings.csv").string());
  EXPECT_EQ(csv.rfind(kManifestHeader, 0), 0u);
  EXPECT_NE(csv.find("\n0.dav,2014-03-04 23:59:40,2014-03-05 00:00:19," + Demo() +
                     ",4096,486656,482560,"),
            std::string::npos)
      << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4);

  o = Run({"--quiet", "--save=" + out.string(), "--select=0.dav", Demo()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("saved 0.dav as '0 (1).dav'"), std::string::npos) << o.err;
  EXPECT_EQ(Slurp((out / "0 (1).dav").string()), Slurp((out / "0.dav").string()));

  // Everything found, when nothing is selected.
  const auto all = dir_->path() / "all";
  std::filesystem::create_directory(all);
  ASSERT_EQ(Run({"--save", all.string(), Demo()}).status, 0);
  EXPECT_EQ(Listing(all).size(), 6u);
}

TEST_F(CliTest, SaveUsageErrorsExitWithTwoBeforeAnythingIsWritten) {
  const auto out = dir_->path() / "usage";
  std::filesystem::create_directory(out);
  const std::vector<std::vector<std::string>> bad = {
      {"--select", "1", Demo()},
      {"--save", out.string(), "--select", "1,,2", Demo()},
      {"--save", out.string(), "--select", "x", Demo()},
      {"--save", out.string(), "--select", "3-1", Demo()},
      {"--save", out.string(), "--select", "-1", Demo()},
      {"--save", out.string(), "--select", "", Demo()},
      {"--save", "", Demo()},
      {"--save", (dir_->path() / "missing").string(), Demo()},
      {"--save", Demo(), Demo()},
      {"--save", out.string(), "--select", "4,5", Demo()},  // the scan finds 0.dav to 4.dav
  };
  for (const auto& args : bad) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 2) << args[1] << " " << args[args.size() - 2] << "\n" << o.err;
    EXPECT_FALSE(o.err.empty());
  }
  EXPECT_TRUE(Listing(out).empty());
  EXPECT_NE(Run(bad[7]).err.find("does not exist"), std::string::npos);
  EXPECT_NE(Run(bad.back()).err.find("5.dav, but the scan found only 0.dav to 4.dav"),
            std::string::npos);

#ifndef _WIN32
  // A folder the user cannot write to (root can write anywhere, so run as nobody then).
  const auto locked = dir_->path() / "locked";
  std::filesystem::create_directory(locked);
  std::filesystem::permissions(locked, std::filesystem::perms(0555));
  std::vector<std::string> as_nobody;
  if (geteuid() == 0) {
    as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  const Outcome o = Run({"--save", locked.string(), Demo()}, as_nobody);
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_NE(o.err.find("cannot write to the folder '" + locked.string() + "': Permission denied"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(o.out, "") << "refused before the scan";
#endif
}

#ifndef _WIN32
TEST_F(CliTest, SaveExitsWithFourWhenFilesCannotBeWritten) {
  // A file size limit of 400000 bytes: 0.dav (482560 bytes) and 4.dav (1003200) cannot be
  // written; the others can.
  const auto out = dir_->path() / "limited";
  std::filesystem::create_directory(out);
  const std::string err = dir_->File("limited.err");
  test::ChildProcess save(KORVANE_SCAN_BINARY, {"--save", out.string(), Demo()}, "/dev/null", err,
                          false, [] {
                            signal(SIGXFSZ, SIG_IGN);  // writing past the limit fails, not kills
                            const rlimit limit{400000, 400000};
                            setrlimit(RLIMIT_FSIZE, &limit);
                          });
  EXPECT_EQ(save.Wait(), 4);
  const std::string text = Slurp(err);
  EXPECT_NE(text.find("0.dav not saved: cannot write it: File too large"), std::string::npos)
      << text;
  EXPECT_NE(text.find("4.dav not saved"), std::string::npos) << text;
  EXPECT_NE(text.find("saved 3 of 5 recordings"), std::string::npos) << text;
  EXPECT_EQ(Listing(out), (std::vector<std::string>{"1.dav", "2.dav", "3.dav", "recordings.csv"}));
}
#endif  // a file size limit is a POSIX resource limit

TEST_F(CliTest, InterruptWhileSavingRemovesTheFileBeingWritten) {
  // One recording of 1 GiB in a sparse file: frames 16 MiB apart (the largest length a header
  // may give). Saving it takes long enough, even on a fast disk, for the interrupt to find it
  // under way on a busy machine.
  const std::string big = dir_->File("long.img");
  constexpr uint32_t kFrames = 64;
  {
    std::ofstream(big, std::ios::binary).close();
    std::filesystem::resize_file(big, uint64_t{kFrames} << 24);
    for (uint32_t i = 0; i < kFrames; ++i) {
      testimage::ImageBuilder header(64, testimage::Fill::kZeros);
      testimage::FrameSpec f;
      f.position = 0;
      f.packed_time = testimage::PackEpochSeconds(1393891200 + i);
      f.length_override = i == kFrames - 1 ? (16 << 20) - 1 : 16 << 20;
      header.AddFrame(f);
      test::WriteAt(big, uint64_t{i} << 24, header.bytes());
    }
  }
  const auto out = dir_->path() / "interrupted";
  std::filesystem::create_directory(out);
  const std::string list = dir_->File("long.out"), err = dir_->File("long.err");
  test::ChildProcess save(KORVANE_SCAN_BINARY, {"--save", out.string(), big}, list, err,
                          /*interruptible=*/true);
  // The header is flushed when the scan starts, the rows when it ends; saving follows at once.
  auto listed = [&] { return Slurp(list).find("0.dav") != std::string::npos; };
  for (int i = 0; i < 6000 && !listed(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  save.Interrupt();
  EXPECT_EQ(save.Wait(), 130) << Slurp(err);
  EXPECT_NE(Slurp(err).find("the file being written was removed"), std::string::npos) << Slurp(err);
  EXPECT_TRUE(Listing(out).empty());
}

}  // namespace
}  // namespace korvane
