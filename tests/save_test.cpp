// SPDX-License-Identifier: GPL-3.0-or-later
// Saving recordings into real folders: contents, names, recordings.csv, stop, and the ways a
// save goes wrong (no permission, a full disk, a source that shrinks, vanishes or has bad sectors).
#include "scan/save.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "scan/save_folder.h"
#include "scan/worker.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Listing;
using test::Quote;
using test::Slurp;
using testimage::ImageBuilder;

constexpr uint64_t kMiB = 1 << 20;

using test::Shell;

bool HaveTool(const std::string& name) {
  int status = 0;
  Shell("command -v " + name + " >/dev/null 2>&1", &status);
  return status == 0;
}

std::string Sha256Sum(const std::string& path) {
  return Shell("sha256sum " + Quote(path)).substr(0, 64);
}

std::string Slice(const std::vector<uint8_t>& image, uint64_t from, uint64_t to) {
  return std::string(image.begin() + static_cast<ptrdiff_t>(from),
                     image.begin() + static_cast<ptrdiff_t>(to));
}

std::vector<Recording> ScanFile(const std::string& path) {
  ScanJob job;
  job.source = path;
  test::RecordingSink sink;
  std::atomic<int> stop{0};
  EXPECT_EQ(ScanSource(job, sink, stop).status.code(), ErrorCode::kOk);
  return sink.closed;
}

struct ProgressStep {
  uint64_t done;
  uint64_t total;
};

class EventSink : public SaveSink {
 public:
  void OnSaveStart(uint64_t total, size_t files) override {
    totals.push_back(total);
    file_counts.push_back(files);
  }
  void OnFileStart(const Recording& r, size_t number) override {
    begun.push_back(number);
    if (on_file_start) on_file_start(r, number);
  }
  void OnProgress(uint64_t done, uint64_t total) override {
    progress.push_back({done, total});
    if (on_progress) on_progress(done);
  }
  void OnFileDone(const SavedFile& f) override { finished.push_back(f.recording.index); }

  std::vector<uint64_t> totals;
  std::vector<size_t> file_counts;
  std::vector<size_t> begun;
  std::vector<ProgressStep> progress;
  std::vector<uint64_t> finished;
  std::function<void(const Recording&, size_t)> on_file_start;
  std::function<void(uint64_t)> on_progress;
};

// Noise holding a small recording, one of about 2 MiB across several MiB boundaries, a small one
// further on and a frame cut off by the image's end.
std::vector<uint8_t> SaveImage() {
  ImageBuilder image(4 * kMiB + 1000, testimage::Fill::kNoise, 77);
  const int64_t t = DaysFromCivil(2014, 3, 4) * kSecondsPerDay + 10 * 3600;
  image.AddRecording(3000, t, 30, 1, 2000);
  image.AddRecording(kMiB - 12345, t + 100, 300, 2, 7000);
  image.AddRecording(3 * kMiB + kMiB / 2 + 11, t + 1000, 5, 1, 500);
  image.AddFrame({4 * kMiB + 900, testimage::PackEpochSeconds(t + 5000), 1000});
  return image.bytes();
}

class SaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = SaveImage();
    source_ = dir_.File("disk, \"1\".img");  // a comma and quotes for recordings.csv to quote
    test::WriteFile(source_, image_);
    found_ = ScanFile(source_);
    ASSERT_EQ(found_.size(), 4u);
    ASSERT_GT(found_[1].end_position - found_[1].position, 2 * kMiB);
    ASSERT_GT(found_[3].end_position, image_.size());
    out_ = dir_.path() / "out";
    fs::create_directory(out_);
  }

  SaveJob Job(std::vector<Recording> recordings, const fs::path& folder) const {
    return SaveJob{source_, folder.string(), std::move(recordings), DateWindow{}};
  }

  SaveResult Save(std::vector<Recording> recordings, const fs::path& folder, SaveSink& sink) {
    std::atomic<int> stop{0};
    return SaveRecordings(Job(std::move(recordings), folder), sink, stop);
  }

  std::string Expected(const Recording& r) const {
    return Slice(image_, r.position, std::min<uint64_t>(r.end_position, image_.size()));
  }

  test::TempDir dir_;
  std::vector<uint8_t> image_;
  std::string source_;
  std::vector<Recording> found_;
  fs::path out_;
};

TEST(SaveNames, TheNumberGoesBeforeTheExtension) {
  EXPECT_EQ(NumberedName("0.dav", 0), "0.dav");
  EXPECT_EQ(NumberedName("0.dav", 1), "0 (1).dav");
  EXPECT_EQ(NumberedName("12.dav", 10), "12 (10).dav");
  EXPECT_EQ(NumberedName("a.b.dav", 2), "a.b (2).dav");
  EXPECT_EQ(NumberedName("plain", 3), "plain (3)");
  EXPECT_EQ(NumberedName(".hidden", 1), ".hidden (1)");
}

TEST_F(SaveTest, FilesHoldTheRecordingsBytesAndRecordingsCsvTheirHashes) {
  struct stat before {};
  ASSERT_EQ(stat(source_.c_str(), &before), 0);
  const std::string source_hash = Sha256Sum(source_);

  EventSink sink;
  const SaveResult result = Save(found_, out_, sink);
  ASSERT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_TRUE(result.AllSaved());
  ASSERT_EQ(result.files.size(), 4u);
  EXPECT_EQ(Listing(out_),
            (std::vector<std::string>{"0.dav", "1.dav", "2.dav", "3.dav", "recordings.csv"}));

  std::string manifest = kManifestHeader;
  uint64_t total = 0;
  for (size_t i = 0; i < found_.size(); ++i) {
    const Recording& r = found_[i];
    const SavedFile& f = result.files[i];
    const std::string path = (out_ / r.Name()).string();
    ASSERT_EQ(f.outcome, FileOutcome::kSaved) << f.error;
    EXPECT_EQ(f.file_name, r.Name());
    EXPECT_EQ(Slurp(path), Expected(r)) << r.Name();
    EXPECT_EQ(f.bytes, Expected(r).size());
    EXPECT_EQ(f.sha256, Sha256Sum(path));
    EXPECT_TRUE(f.in_manifest);
    total += f.bytes;
    manifest += r.Name() + "," + r.StartText() + "," + r.EndText() + ",\"" + dir_.path().string() +
                "/disk, \"\"1\"\".img\"," + std::to_string(r.position) + "," +
                std::to_string(r.position + f.bytes) + "," + std::to_string(f.bytes) + "," +
                Sha256Sum(path) + ",0\n";
  }
  EXPECT_EQ(Slurp((out_ / "recordings.csv").string()), manifest);
  EXPECT_EQ(result.saved_bytes, total);
  EXPECT_EQ(result.files[3].end_position, image_.size());
  EXPECT_NE(result.files[3].error.find("cut off"), std::string::npos) << result.files[3].error;
  EXPECT_EQ(result.files[0].error, "");

  // Progress: every file, steps of at most 1 MiB, never backwards, ending at the total.
  EXPECT_EQ(sink.totals, std::vector<uint64_t>{total});
  EXPECT_EQ(sink.begun, (std::vector<size_t>{0, 1, 2, 3}));
  EXPECT_EQ(sink.finished, (std::vector<uint64_t>{0, 1, 2, 3}));
  uint64_t last = 0;
  for (const ProgressStep& step : sink.progress) {
    EXPECT_GE(step.done, last);
    EXPECT_LE(step.done - last, kMiB);
    EXPECT_EQ(step.total, total);
    last = step.done;
  }
  EXPECT_EQ(last, total);

  // The source is only read.
  struct stat after {};
  ASSERT_EQ(stat(source_.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(Sha256Sum(source_), source_hash);

  // Saving again keeps the first files and adds numbered ones, below the same header.
  EventSink again;
  const SaveResult second = Save({found_[0], found_[2]}, out_, again);
  ASSERT_TRUE(second.AllSaved());
  EXPECT_EQ(second.files[0].file_name, "0 (1).dav");
  EXPECT_EQ(second.files[1].file_name, "2 (1).dav");
  EXPECT_EQ(Slurp((out_ / "0 (1).dav").string()), Expected(found_[0]));
  const std::string csv = Slurp((out_ / "recordings.csv").string());
  EXPECT_EQ(csv.rfind(manifest, 0), 0u);
  EXPECT_EQ(csv.find("file,", 1), std::string::npos) << "one header only";
  EXPECT_NE(csv.find("\n0 (1).dav,2014-03-04 10:00:00,"), std::string::npos) << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 7);
}

TEST_F(SaveTest, NothingIsReplacedNorWrittenThroughALink) {
  const fs::path target = dir_.path() / "target";
  std::ofstream(out_ / "0.dav") << "mine";
  fs::create_directory(out_ / "1.dav");
  fs::create_symlink(target, out_ / "2.dav");  // dangling: saving must not create its target
  std::ofstream(out_ / "recordings.csv") << "an examiner's own line";  // no line break at the end

  EventSink sink;
  const SaveResult result = Save({found_[0], found_[1], found_[2]}, out_, sink);
  ASSERT_TRUE(result.AllSaved());
  EXPECT_EQ(result.files[0].file_name, "0 (1).dav");
  EXPECT_EQ(result.files[1].file_name, "1 (1).dav");
  EXPECT_EQ(result.files[2].file_name, "2 (1).dav");
  EXPECT_EQ(Slurp((out_ / "0.dav").string()), "mine");
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(Slurp((out_ / "2 (1).dav").string()), Expected(found_[2]));
  const std::string csv = Slurp((out_ / "recordings.csv").string());
  EXPECT_EQ(csv.rfind("an examiner's own line\n0 (1).dav,", 0), 0u) << csv;

  // recordings.csv as a link is refused; the files are still saved.
  const fs::path other = dir_.path() / "other";
  fs::create_directory(other);
  fs::create_symlink(target, other / "recordings.csv");
  const SaveResult linked = Save({found_[0]}, other, sink);
  EXPECT_EQ(linked.saved_files, 1u);
  EXPECT_FALSE(linked.AllSaved());
  EXPECT_NE(linked.manifest_error.find("symbolic link"), std::string::npos)
      << linked.manifest_error;
  EXPECT_FALSE(linked.files[0].in_manifest);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(SaveTest, SavesRunningAtOnceGetNamesOfTheirOwn) {
  constexpr int kSavers = 4;
  std::vector<SaveResult> results(kSavers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kSavers; ++i) {
    threads.emplace_back([&, i] {
      EventSink sink;
      results[static_cast<size_t>(i)] = Save({found_[0], found_[2]}, out_, sink);
    });
  }
  for (auto& t : threads) t.join();
  for (const SaveResult& r : results) EXPECT_TRUE(r.AllSaved());
  std::vector<std::string> want = {"recordings.csv"};
  for (const char* stem : {"0", "2"}) {
    want.push_back(std::string(stem) + ".dav");
    for (int n = 1; n < kSavers; ++n) want.push_back(NumberedName(std::string(stem) + ".dav", n));
  }
  std::sort(want.begin(), want.end());
  ASSERT_EQ(Listing(out_), want);
  for (const std::string& name : want) {
    if (name == "recordings.csv") continue;
    EXPECT_EQ(Slurp((out_ / name).string()), Expected(found_[name[0] == '0' ? 0 : 2])) << name;
  }
  const std::string csv = Slurp((out_ / "recordings.csv").string());
  EXPECT_EQ(csv.rfind(kManifestHeader, 0), 0u) << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 2 * kSavers);
}

TEST_F(SaveTest, StopOnTheWorkerRemovesTheFileBeingWritten) {
  ScanWorker worker;
  EventSink sink;
  bool second_start_refused = false;
  const uint64_t first = found_[0].end_position - found_[0].position;
  sink.on_file_start = [&](const Recording&, size_t number) {
    if (number == 0) second_start_refused = !worker.Start([](const std::atomic<int>&) {}).ok();
  };
  sink.on_progress = [&](uint64_t done) {
    if (done > first + kMiB) worker.RequestStop();
  };
  std::promise<SaveResult> promise;
  ASSERT_TRUE(worker
                  .StartSave(Job({found_[0], found_[1], found_[2]}, out_), sink,
                             [&](const SaveResult& r) { promise.set_value(r); })
                  .ok());
  const SaveResult result = promise.get_future().get();
  worker.Join();
  EXPECT_TRUE(second_start_refused) << "the busy flag refuses another job while saving";
  EXPECT_FALSE(worker.Busy());
  EXPECT_EQ(result.status.code(), ErrorCode::kStopped);
  ASSERT_EQ(result.files.size(), 2u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kSaved);
  EXPECT_EQ(result.files[1].outcome, FileOutcome::kStopped);
  EXPECT_EQ(result.saved_files, 1u);
  EXPECT_EQ(result.failed_files, 1u);
  EXPECT_LE(sink.progress.back().done, first + 2 * kMiB) << "stopped within a MiB";
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"0.dav", "recordings.csv"}));
  const std::string csv = Slurp((out_ / "recordings.csv").string());
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 2);
}

// Runs body as an unprivileged user when the test runs as root (root may write anywhere), and
// returns what it returns.
std::string AsUnprivileged(const std::function<std::string()>& body) {
  if (geteuid() != 0) return body();
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out = "cannot become nobody";
    if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0) out = body();
    if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

TEST_F(SaveTest, AFolderWithoutWritePermissionIsRefusedWithoutWritingAnything) {
  const fs::path locked = dir_.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms(0555));
  // A folder the user may write to, holding a recordings.csv the user may not.
  const fs::path shared = dir_.path() / "shared";
  fs::create_directory(shared);
  std::ofstream(shared / "recordings.csv") << kManifestHeader;
  fs::permissions(shared / "recordings.csv", fs::perms(0444));
  if (geteuid() == 0) {
    ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);
  }

  const std::string outcome = AsUnprivileged([&] {
    EventSink sink;
    const SaveResult refused = Save({found_[0]}, locked, sink);
    const SaveResult half = Save({found_[0]}, shared, sink);
    return std::to_string(static_cast<int>(refused.status.code())) + "|" +
           refused.status.message() + "|" + std::to_string(sink.totals.size()) + "|" +
           std::to_string(half.saved_files) + "|" + half.manifest_error;
  });
  EXPECT_EQ(outcome, std::to_string(static_cast<int>(ErrorCode::kUsage)) +
                         "|cannot write to the folder '" + locked.string() +
                         "': Permission denied|1|1|cannot add its line to recordings.csv: "
                         "Permission denied");
  EXPECT_TRUE(Listing(locked).empty());
  EXPECT_EQ(Listing(shared), (std::vector<std::string>{"0.dav", "recordings.csv"}));
  EXPECT_EQ(Slurp((shared / "recordings.csv").string()), kManifestHeader);

  EventSink sink;
  const SaveResult missing = Save({found_[0]}, dir_.path() / "missing", sink);
  EXPECT_EQ(missing.status.code(), ErrorCode::kUsage);
  EXPECT_NE(missing.status.message().find("does not exist"), std::string::npos)
      << missing.status.message();
  const SaveResult file = Save({found_[0]}, source_, sink);
  EXPECT_NE(file.status.message().find("is not a folder"), std::string::npos)
      << file.status.message();
  EXPECT_TRUE(sink.totals.empty()) << "nothing started";
}

// A small file system mounted for one test; the test is skipped where mounting is not possible.
class Mount {
 public:
  Mount(const fs::path& where, const std::string& command) : where_(where) {
    fs::create_directory(where);
    int status = 0;
    Shell(command + " >/dev/null 2>&1", &status);
    mounted_ = status == 0;
  }
  ~Mount() {
    int status = 0;
    if (mounted_) Shell("umount " + Quote(where_.string()) + " 2>/dev/null", &status);
    if (mounted_ && status != 0) umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

TEST_F(SaveTest, AFullDiskFailsOnlyTheFilesThatDoNotFit) {
  const fs::path small = dir_.path() / "small";
  Mount mount(small, "mount -t tmpfs -o size=1m korvane-test " + Quote(small.string()));
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  EventSink sink;
  const SaveResult result = Save({found_[0], found_[1], found_[2]}, small, sink);
  EXPECT_TRUE(result.status.ok());
  ASSERT_EQ(result.files.size(), 3u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kSaved);
  EXPECT_EQ(result.files[1].outcome, FileOutcome::kFailed);
  EXPECT_EQ(result.files[1].error, "cannot write it: No space left on device");
  EXPECT_EQ(result.files[2].outcome, FileOutcome::kSaved) << "the space of the failed file is free";
  EXPECT_EQ(Listing(small), (std::vector<std::string>{"0.dav", "2.dav", "recordings.csv"}));
  EXPECT_EQ(Slurp((small / "2.dav").string()), Expected(found_[2]));
  EXPECT_EQ(sink.progress.back().done, sink.totals[0]) << "the bar still reaches its end";
}

// A disk image attached as a loop device, with an ext4 file system mounted from it, torn down in
// reverse. The image has one partition; where the kernel lists loop devices' partitions the file
// system is made on the partition, elsewhere on the whole device. Needs root, losetup and
// mkfs.ext4.
class LoopDisk {
 public:
  explicit LoopDisk(const fs::path& dir) : image_(dir / "evidence.img"), mnt_(dir / "mnt") {
    // An MBR with one Linux partition from sector 2048 to the end of a 40 MiB image.
    constexpr uint32_t kSectors = 40 * 2048, kFirst = 2048;
    std::vector<uint8_t> bytes(512, 0);
    uint8_t* entry = bytes.data() + 446;
    entry[4] = 0x83;
    for (int i = 0; i < 4; ++i) {
      entry[8 + i] = static_cast<uint8_t>(kFirst >> (8 * i));
      entry[12 + i] = static_cast<uint8_t>((kSectors - kFirst) >> (8 * i));
    }
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    bytes.resize(static_cast<size_t>(kSectors) * 512, 0);
    test::WriteFile(image_.string(), bytes);
    int status = 0;
    const std::string out =
        Shell("losetup -P -f --show " + Quote(image_.string()) + " 2>/dev/null", &status);
    if (status != 0 || out.empty()) return;
    disk_ = out.substr(0, out.find('\n'));
    for (int i = 0; i < 25 && partition_.empty(); ++i) {
      if (fs::exists(disk_ + "p1"))
        partition_ = disk_ + "p1";
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string fs_device = partition_.empty() ? disk_ : partition_;
    fs::create_directory(mnt_);
    Shell("mkfs.ext4 -q -F " + Quote(fs_device) + " >/dev/null 2>&1 && mount " + Quote(fs_device) +
              " " + Quote(mnt_.string()) + " 2>/dev/null",
          &status);
    mounted_ = status == 0;
  }
  ~LoopDisk() {
    if (mounted_) Shell("umount " + Quote(mnt_.string()) + " 2>/dev/null");
    if (!disk_.empty()) Shell("losetup -d " + Quote(disk_) + " 2>/dev/null");
  }
  bool ready() const { return mounted_; }
  const fs::path& image() const { return image_; }
  const std::string& disk() const { return disk_; }
  const std::string& partition() const { return partition_; }  // empty: none listed
  const fs::path& mount_point() const { return mnt_; }

 private:
  fs::path image_, mnt_;
  std::string disk_, partition_;
  bool mounted_ = false;
};

TEST_F(SaveTest, AFolderOnTheSourceBeingReadIsRefusedWithoutWritingAnything) {
  LoopDisk disk(dir_.path());
  if (!disk.ready())
    GTEST_SKIP() << "cannot attach a loop device and mount a file system on it here";
  const fs::path inside = disk.mount_point() / "out";
  fs::create_directory(inside);
  // The whole disk, its partition, and the image file behind the loop device: the folder lies on
  // each of them, and a save there would change the source it reads.
  std::vector<std::string> sources = {disk.disk(), disk.image().string()};
  if (disk.partition().empty()) {
    std::printf("this kernel lists no partitions of loop devices: the file system is on %s\n",
                disk.disk().c_str());
  } else {
    sources.push_back(disk.partition());
  }
  for (const std::string& source : sources) {
    const Status why = CheckSaveFolder(inside.string(), source);
    EXPECT_EQ(why.code(), ErrorCode::kRefused) << source;
    EXPECT_NE(why.message().find("the source being read"), std::string::npos) << why.message();
    EventSink sink;
    std::atomic<int> stop{0};
    const SaveResult result =
        SaveRecordings(SaveJob{source, inside.string(), {found_[0]}, DateWindow{}}, sink, stop);
    EXPECT_EQ(result.status.code(), ErrorCode::kRefused) << source;
    EXPECT_NE(result.status.message().find("saving there would write to it"), std::string::npos)
        << result.status.message();
    EXPECT_TRUE(sink.totals.empty()) << "nothing started";
  }
  EXPECT_TRUE(Listing(inside).empty());
  // A folder elsewhere takes a save from the device, and the mounted file system takes a save
  // from another source.
  Status why = CheckSaveFolder(out_.string(), disk.disk());
  EXPECT_TRUE(why.ok()) << why.message();
  why = CheckSaveFolder(inside.string(), source_);
  EXPECT_TRUE(why.ok()) << why.message();
  EventSink sink;
  EXPECT_TRUE(Save({found_[0]}, inside, sink).status.ok());
  EXPECT_EQ(Slurp((inside / "0.dav").string()), Expected(found_[0]));
}

// A loop device over a file or a block device, detached when the test ends however it ends.
// Needs root and losetup; `device()` is empty when it could not be attached.
class Loop {
 public:
  explicit Loop(const std::string& backing, const std::string& options = std::string()) {
    int status = 0;
    const std::string out =
        Shell("losetup " + options + " -f --show " + Quote(backing) + " 2>/dev/null", &status);
    if (status == 0) device_ = out.substr(0, out.find('\n'));
  }
  ~Loop() {
    if (!device_.empty()) Shell("losetup -d " + Quote(device_) + " 2>/dev/null");
  }
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;
  const std::string& device() const { return device_; }

 private:
  std::string device_;
};

// An empty image file of `mib` MiB.
std::string EmptyImage(const test::TempDir& dir, const std::string& name, uint64_t mib) {
  const std::string path = dir.File(name);
  std::ofstream(path).close();
  fs::resize_file(path, mib * kMiB);
  return path;
}

// Whether saving into `folder` from `source` is refused as writing to the source: by the check
// and by the save itself, with nothing written.
::testing::AssertionResult RefusedAsTheSource(const fs::path& folder, const std::string& source,
                                              const Recording& r) {
  const Status checked = CheckSaveFolder(folder.string(), source);
  if (checked.code() != ErrorCode::kRefused) {
    return ::testing::AssertionFailure()
           << "the check gives '" << checked.message() << "' for " << folder << " from " << source;
  }
  EventSink sink;
  std::atomic<int> stop{0};
  const SaveResult result =
      SaveRecordings(SaveJob{source, folder.string(), {r}, DateWindow{}}, sink, stop);
  if (result.status.code() != ErrorCode::kRefused || !sink.totals.empty()) {
    return ::testing::AssertionFailure() << "the save gives '" << result.status.message() << "'";
  }
  if (result.status.message().find("saving there would write to it") == std::string::npos) {
    return ::testing::AssertionFailure() << result.status.message();
  }
  return ::testing::AssertionSuccess();
}

// Loop devices stacked on one another, with offsets, and two loop devices over one image: the
// folder's device is followed down to every device and file beneath it, and so is the source's.
TEST_F(SaveTest, AFolderOnLoopDevicesStackedOnTheSourceIsRefused) {
  if (!HaveTool("losetup") || !HaveTool("mkfs.ext4")) GTEST_SKIP() << "needs losetup, mkfs.ext4";
  // ext4 on a loop device at 1 MiB into a loop device over the image.
  const std::string stacked_image = EmptyImage(dir_, "stacked.img", 40);
  const Loop lower(stacked_image);
  if (lower.device().empty()) GTEST_SKIP() << "cannot attach a loop device here (needs root)";
  const Loop upper(lower.device(), "-o 1048576");
  ASSERT_FALSE(upper.device().empty());
  const fs::path p1 = dir_.path() / "mnt" / "p1";
  fs::create_directories(p1);
  Mount stacked(p1, "mkfs.ext4 -q -F " + Quote(upper.device()) + " && mount " +
                        Quote(upper.device()) + " " + Quote(p1.string()));
  ASSERT_TRUE(stacked.mounted());
  EXPECT_TRUE(RefusedAsTheSource(p1, lower.device(), found_[0]));
  EXPECT_TRUE(RefusedAsTheSource(p1, stacked_image, found_[0]));

  // ext4 on a loop device at 1 MiB into an image that a second loop device reads from its start.
  const std::string shared_image = EmptyImage(dir_, "shared.img", 40);
  const Loop written(shared_image, "-o 1048576");
  const Loop read(shared_image);
  const Loop first_mib(shared_image, "--sizelimit 1048576");
  ASSERT_FALSE(written.device().empty() || read.device().empty() || first_mib.device().empty());
  const fs::path p2 = dir_.path() / "mnt" / "p2";
  fs::create_directories(p2);
  // Made whole at once: ext4's lazy initialisation would otherwise write to the image in the
  // background and change its hash by itself.
  Mount shared(p2, "mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " +
                       Quote(written.device()) + " && mount " + Quote(written.device()) +
                       " -o noinit_itable " + Quote(p2.string()));
  ASSERT_TRUE(shared.mounted());
  const std::string shared_hash = Sha256Sum(shared_image);
  EXPECT_TRUE(RefusedAsTheSource(p2, read.device(), found_[0]));
  EXPECT_TRUE(RefusedAsTheSource(p2, shared_image, found_[0]));
  // A user who may not open the loop devices gets the same answer, from sysfs.
  const std::string unprivileged = AsUnprivileged([&] {
    return FolderWritesToSource(p1.string(), lower.device()).message() + "|" +
           FolderWritesToSource(p2.string(), read.device()).message();
  });
  EXPECT_EQ(unprivileged,
            "the folder " + p1.string() + " lies on " + lower.device() +
                ", the source being read: saving there would write to it|the folder " +
                p2.string() + " lies on " + read.device() +
                ", the source being read: saving there would write to it");
  Shell("sync");
  EXPECT_EQ(Sha256Sum(shared_image), shared_hash);
  EXPECT_TRUE(Listing(p1).size() == 1 && Listing(p2).size() == 1) << "lost+found only";

  // The image's first MiB, which the file system does not reach, and devices over other images
  // are fine to save from.
  for (const std::string& source : {first_mib.device(), read.device(), source_}) {
    const fs::path folder = source == read.device() ? p1 : p2;
    const Status checked = CheckSaveFolder(folder.string(), source);
    EXPECT_TRUE(checked.ok()) << folder << " from " << source << ": " << checked.message();
  }
}

// An overlay mount writes into the file system of its upper directory.
TEST_F(SaveTest, AFolderOnAnOverlayWhoseUpperLayerLiesOnTheSourceIsRefused) {
  if (!HaveTool("mkfs.ext4")) GTEST_SKIP() << "needs mkfs.ext4";
  LoopDisk disk(dir_.path());
  if (!disk.ready())
    GTEST_SKIP() << "cannot attach a loop device and mount a file system on it here";
  const fs::path lower = dir_.path() / "lower";
  const fs::path upper = disk.mount_point() / "up per";  // a blank, escaped in the mount table
  const fs::path work = disk.mount_point() / "work";
  const fs::path ovl = dir_.path() / "ovl";
  for (const fs::path& p : {lower, upper, work}) fs::create_directory(p);
  Mount overlay(ovl, "mount -t overlay overlay -o " +
                         Quote("lowerdir=" + lower.string() + ",upperdir=" + upper.string() +
                               ",workdir=" + work.string()) +
                         " " + Quote(ovl.string()));
  if (!overlay.mounted()) GTEST_SKIP() << "cannot mount an overlay here";
  EXPECT_TRUE(RefusedAsTheSource(ovl, disk.disk(), found_[0]));
  EXPECT_TRUE(RefusedAsTheSource(ovl, disk.image().string(), found_[0]));
  EXPECT_TRUE(Listing(upper).empty());

  // An overlay whose upper layer lies elsewhere takes the save.
  const fs::path upper2 = dir_.path() / "upper2", work2 = dir_.path() / "work2";
  const fs::path ovl2 = dir_.path() / "ovl2";
  for (const fs::path& p : {upper2, work2}) fs::create_directory(p);
  Mount elsewhere(ovl2, "mount -t overlay overlay -o " +
                            Quote("lowerdir=" + lower.string() + ",upperdir=" + upper2.string() +
                                  ",workdir=" + work2.string()) +
                            " " + Quote(ovl2.string()));
  ASSERT_TRUE(elsewhere.mounted());
  EventSink sink;
  std::atomic<int> stop{0};
  const SaveResult result =
      SaveRecordings(SaveJob{source_, ovl2.string(), {found_[0]}, DateWindow{}}, sink, stop);
  EXPECT_TRUE(result.AllSaved()) << result.status.message();
  const Status checked = CheckSaveFolder(ovl2.string(), disk.disk());
  EXPECT_TRUE(checked.ok()) << checked.message();
}

// recordings.csv names the source by its canonical path, whatever way it was typed, in the
// columns of its header.
TEST_F(SaveTest, RecordingsCsvNamesTheSourceByItsCanonicalPath) {
  fs::create_directory(dir_.path() / "src");
  fs::create_symlink(source_, dir_.path() / "src" / "link.img");
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_.path());
  EventSink sink;
  std::atomic<int> stop{0};
  const SaveResult result = SaveRecordings(
      SaveJob{"./src/../src/link.img", out_.string(), {found_[0]}, DateWindow{}}, sink, stop);
  fs::current_path(cwd);
  ASSERT_TRUE(result.AllSaved()) << result.status.message();
  const std::string csv = Slurp((out_ / "recordings.csv").string());
  std::string quoted = "\"";
  for (char c : fs::canonical(source_).string())
    quoted += c == '"' ? std::string(2, c) : std::string(1, c);
  quoted += '"';
  EXPECT_EQ(csv, std::string(kManifestHeader) + "0.dav," + found_[0].StartText() + "," +
                     found_[0].EndText() + "," + quoted + "," + std::to_string(found_[0].position) +
                     "," + std::to_string(found_[0].end_position) + "," +
                     std::to_string(result.files[0].bytes) + "," + result.files[0].sha256 + ",0\n");
}

TEST_F(SaveTest, ASourceThatShrinksFailsTheFilesItNoLongerHolds) {
  EventSink sink;
  const uint64_t first = found_[0].end_position - found_[0].position;
  sink.on_progress = [&](uint64_t done) {
    if (done > first && done < first + kMiB) fs::resize_file(source_, kMiB + 5000);
  };
  const SaveResult result = Save({found_[0], found_[1], found_[2]}, out_, sink);
  ASSERT_EQ(result.files.size(), 3u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kSaved);
  EXPECT_EQ(result.files[1].outcome, FileOutcome::kFailed);
  EXPECT_EQ(result.files[1].error, "the source shrank while it was read; it no longer holds byte " +
                                       std::to_string(kMiB + 5000));
  EXPECT_EQ(result.files[2].outcome, FileOutcome::kFailed);
  EXPECT_EQ(result.failed_files, 2u);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"0.dav", "recordings.csv"}));
}

TEST_F(SaveTest, BadSectorsAreSavedAsZerosButAVanishedSourceFailsTheRest) {
  // Two unreadable sectors inside the second recording; the source's path still opens.
  const uint64_t bad = (found_[1].position + 700000) / 512;
  auto device = std::make_unique<test::MemoryDevice>(image_);
  device->bad_sectors = {bad, bad + 1};
  SourceReader reader(std::move(device));
  EventSink sink;
  std::atomic<int> stop{0};
  SaveResult result = SaveRecordings(reader, Job({found_[1]}, out_), sink, stop);
  ASSERT_EQ(result.files.size(), 1u);
  const SavedFile& salvaged = result.files[0];
  ASSERT_EQ(salvaged.outcome, FileOutcome::kSaved) << salvaged.error;
  EXPECT_EQ(salvaged.unreadable_bytes, 1024u);
  EXPECT_EQ(result.unreadable_bytes, 1024u);
  EXPECT_NE(salvaged.error.find("1024 bytes could not be read (Input/output error)"),
            std::string::npos)
      << salvaged.error;
  std::string want = Expected(found_[1]);
  std::fill_n(want.begin() + static_cast<ptrdiff_t>(bad * 512 - found_[1].position), 1024, '\0');
  EXPECT_EQ(Slurp((out_ / "1.dav").string()), want);
  const std::string csv = Slurp((out_ / "recordings.csv").string());
  EXPECT_EQ(csv.substr(csv.size() - 6), ",1024\n");

  // Now the source goes away while the second file is read: every read fails and its path is
  // gone. That file and the ones after it fail; the first stands.
  const fs::path vanished = dir_.path() / "vanished";
  fs::create_directory(vanished);
  auto dying = std::make_unique<test::MemoryDevice>(image_);
  test::MemoryDevice* raw = dying.get();
  SourceReader dying_reader(std::move(dying));
  bool gone = false;
  EventSink vanish_sink;
  vanish_sink.on_file_start = [&](const Recording&, size_t number) {
    if (number != 1) return;
    gone = true;
    fs::remove(source_);
  };
  raw->before_read = [&](test::MemoryDevice& d) {
    if (gone && d.bad_sectors.empty()) {
      for (uint64_t s = 0; s * 512 < d.Size(); ++s) d.bad_sectors.insert(s);
    }
  };
  result = SaveRecordings(dying_reader, Job({found_[0], found_[1], found_[2]}, vanished),
                          vanish_sink, stop);
  ASSERT_EQ(result.files.size(), 3u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kSaved);
  EXPECT_EQ(result.files[1].outcome, FileOutcome::kFailed);
  EXPECT_EQ(result.files[1].error.rfind("the source vanished while it was read: cannot open '", 0),
            0u)
      << result.files[1].error;
  EXPECT_NE(result.files[2].error.find("the source is gone"), std::string::npos);
  EXPECT_EQ(Listing(vanished), (std::vector<std::string>{"0.dav", "recordings.csv"}));
}

// exFAT (as on most USB disks) through FUSE has neither unnamed files nor hard links nor a
// rename that refuses to replace: the last way of naming a file is taken.
TEST_F(SaveTest, FileSystemsWithoutLinksStillNeverReplace) {
  if (!HaveTool("mkfs.exfat") || !HaveTool("mount.exfat-fuse")) {
    GTEST_SKIP() << "exfatprogs and exfat-fuse are not installed";
  }
  const std::string disk = dir_.File("exfat.img");
  int status = 0;
  Shell("truncate -s 16M " + Quote(disk) + " && mkfs.exfat " + Quote(disk) + " >/dev/null 2>&1",
        &status);
  ASSERT_EQ(status, 0);
  const fs::path fat = dir_.path() / "exfat";
  Mount mount(fat, "mount -o loop -t exfat-fuse " + Quote(disk) + " " + Quote(fat.string()));
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a FUSE file system here (needs root)";
  for (int round = 0; round < 3; ++round) {
    EventSink sink;
    const SaveResult result = Save({found_[0], found_[2]}, fat, sink);
    ASSERT_TRUE(result.AllSaved())
        << (result.files.empty() ? result.status.message() : result.files[0].error);
    EXPECT_EQ(result.files[0].file_name, NumberedName("0.dav", static_cast<unsigned>(round)));
  }
  EXPECT_EQ(Listing(fat), (std::vector<std::string>{"0 (1).dav", "0 (2).dav", "0.dav", "2 (1).dav",
                                                    "2 (2).dav", "2.dav", "recordings.csv"}));
  EXPECT_EQ(Slurp((fat / "2 (2).dav").string()), Expected(found_[2]));
}

// The saved files are real recordings: a demuxer for the format reads every frame with the first
// frame's time, and a decoder decodes them without an error.
TEST(SaveVideo, SavedRecordingsPlay) {
  if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  testimage::VideoClip clip;
  std::string error;
  ASSERT_TRUE(testimage::LoadVideoClip(KORVANE_TEST_DATA_DIR "/testsrc-352x288-25fps.h264", 352,
                                       288, 25, &clip, &error))
      << error;
  ASSERT_EQ(clip.pictures.size(), 50u);
  test::TempDir dir;
  const std::string source = dir.File("video.img");
  test::WriteFile(source, testimage::BuildVideoImage(clip));
  std::vector<Recording> found = ScanFile(source);
  // Three recordings of video and a stray magic, which is no video.
  ASSERT_EQ(found.size(), 4u);
  found.erase(
      std::remove_if(found.begin(), found.end(), [](const Recording& r) { return r.frames == 1; }),
      found.end());
  ASSERT_EQ(found.size(), 3u);

  SaveJob job{source, dir.path().string(), found, DateWindow{}};
  EventSink sink;
  std::atomic<int> stop{0};
  const SaveResult result = SaveRecordings(job, sink, stop);
  ASSERT_TRUE(result.AllSaved());
  for (size_t i = 0; i < found.size(); ++i) {
    const std::string file = dir.File(result.files[i].file_name);
    int status = -1;
    const std::string packets = Shell(
        "ffprobe -v error -f dhav -show_entries packet=pts_time,flags "
        "-of csv=p=0 " +
            Quote(file),
        &status);
    ASSERT_EQ(status, 0) << file;
    std::istringstream lines(packets);
    std::string line, first;
    uint64_t count = 0;
    while (std::getline(lines, line)) {
      if (count++ == 0) first = line;
    }
    EXPECT_EQ(count, found[i].frames) << file;
    EXPECT_EQ(first, std::to_string(found[i].start) + ".000000,K_") << file;
    const std::string errors =
        Shell("ffmpeg -nostdin -v error -f dhav -i " + Quote(file) + " -f null - 2>&1", &status);
    EXPECT_EQ(status, 0) << file;
    EXPECT_EQ(errors, "") << file;
  }
}

}  // namespace
}  // namespace korvane
