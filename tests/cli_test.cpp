// korvane-scan run as a user runs it: a real process on real files.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "cli/options.h"
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
                       "\"frames\": 80}"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("\"position\": 3150049, \"end_position\": 3150073, \"frames\": 1},\n"),
            std::string::npos)
      << "a stray magic counts as a 24-byte frame";
  EXPECT_EQ(o.out.substr(o.out.size() - 4), "}\n]\n");
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
  EXPECT_EQ(o.out, "name,start,end,position\n0.dav,2014-01-31 23:59:30,2014-01-31 23:59:59,2097929\n");

  // Two-digit years lie before every frame.
  o = Run({"--from", "14/3/4", "--to", "14/3/6", "--format", "csv", Demo()});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "name,start,end,position\n");
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
           {"2014/3/4", "2014/3/4"}, {"2014/3/5", "2014/3/4"}, {"2014-3-4", "2014/3/5"}}) {
    const Outcome o = Run({"--from", dates.first, "--to", dates.second, Demo()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("结束日期需要大于开始日期!"), std::string::npos) << o.err;
  }
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
  EXPECT_EQ(Slurp(out), "name,start,end,position\n0.dav,2014-03-04 00:00:00,2014-03-04 00:00:09,1000\n");
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
  // One recording of 128 MiB: frames 16 MiB apart (the largest length a header may give).
  const std::string big = dir_->File("long.img");
  {
    testimage::ImageBuilder image(128 << 20, testimage::Fill::kZeros);
    for (uint32_t i = 0; i < 8; ++i) {
      testimage::FrameSpec f;
      f.position = uint64_t{i} << 24;
      f.packed_time = testimage::PackEpochSeconds(1393891200 + i);
      f.length_override = i == 7 ? (16 << 20) - 1 : 16 << 20;
      image.AddFrame(f);
    }
    std::string error;
    ASSERT_TRUE(image.WriteTo(big, &error)) << error;
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
