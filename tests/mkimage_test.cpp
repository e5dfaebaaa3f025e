// korvane-mkimage: sizes it refuses.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kMiB = 1 << 20;

struct ToolRun {
  int status;
  std::string out, err;
};

// Runs korvane-mkimage with files it writes limited to 4 MiB: a tool that would fill the disk is
// killed by the limit instead (and its run fails).
ToolRun MkImage(const test::TempDir& dir, const std::vector<std::string>& args) {
  const std::string out = dir.File("out.txt"), err = dir.File("err.txt");
  int status;
  {
    test::ChildProcess child(KORVANE_MKIMAGE_BINARY, args, out, err, false, [] {
      const rlimit limit{4 * kMiB, 4 * kMiB};
      setrlimit(RLIMIT_FSIZE, &limit);
    });
    status = child.Wait();
  }
  return {status, test::Slurp(out), test::Slurp(err)};
}

TEST(MkImageBench, RefusesSizesThatAreNotAPositiveNumberOfMiB) {
  test::TempDir dir;
  const std::string image = dir.File("bench.img");
  for (const char* size :
       {"-1", "0", "-0", "", "abc", "12abc", "4G", "1e3", " 5", "+5", "18446744073709551615",
        "18446744073709551616", "17592186044416", "1048577"}) {
    const ToolRun run = MkImage(dir, {"bench", image, size});
    EXPECT_EQ(run.status, 2) << "'" << size << "'";
    EXPECT_NE(run.err.find("MIB must be a whole number of MiB from 1 to 1048576, not '" +
                           std::string(size) + "'"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(image)) << "'" << size << "'";
  }
  // A size the tool takes.
  const ToolRun run = MkImage(dir, {"bench", image, "1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(fs::file_size(image), kMiB);
}

TEST(MkImageBench, RefusesAnImageLargerThanTheFreeSpace) {
  test::TempDir dir;
  const uint64_t free_mib = fs::space(dir.path()).available / kMiB;
  if (free_mib + 1 > (uint64_t{1} << 20)) GTEST_SKIP() << "more than 1 TiB free here";
  const std::string image = dir.File("bench.img");
  const ToolRun run = MkImage(dir, {"bench", image, std::to_string(free_mib + 64)});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(" MiB do not fit: "), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(image));
}

}  // namespace
}  // namespace korvane
