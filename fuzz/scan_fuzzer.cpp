// SPDX-License-Identifier: GPL-3.0-or-later
// The scanner on arbitrary bytes, ranges and read faults, checked against the plain per-position
// reference scan.
//
// Each input is scanned twice, with chunks searched in maps of the source and read with pread.
// The input chooses a range (offset and size, from small to 2^64 - 1), where its bytes lie in the
// image (at the start, or across a chunk boundary of the range), a date window, unreadable
// sectors, short reads, one to three scan threads and a stop request; the rest of it is the
// image's data. The fuzz build's chunks are 4 KiB instead of 1 MiB, so that inputs of a few KiB
// cross several of them.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <span>

#include "fuzz/check.h"
#include "scan/frame_header.h"
#include "scan/scanner.h"
#include "tests/test_support.h"

namespace {

using korvane::DateValue;
using korvane::DateWindow;
using korvane::kChunkSize;
using korvane::Recording;
using korvane::ScanJob;
using korvane::ScanResult;
using korvane::test::Describe;
using korvane::test::MemoryDevice;
using korvane::test::RecordingSink;

constexpr uint64_t kSector = 512;

uint64_t PickOffset(FuzzedDataProvider& in, uint8_t how) {
  switch (how % 8) {
    case 4:
      return in.ConsumeIntegralInRange<uint64_t>(0, 2 * kChunkSize);
    case 5:
      return in.ConsumeIntegral<uint64_t>();
    case 6:
      return INT64_MAX - in.ConsumeIntegralInRange<uint64_t>(0, 1024);
    case 7:
      return UINT64_MAX - in.ConsumeIntegralInRange<uint64_t>(0, 1024);
    default:
      return in.ConsumeIntegralInRange<uint64_t>(0, 4096);
  }
}

std::optional<uint64_t> PickSize(FuzzedDataProvider& in, uint8_t how) {
  switch (how % 6) {
    case 0:
      return std::nullopt;
    case 1:
      return in.ConsumeIntegralInRange<uint64_t>(0, 8192);
    case 2: {
      const uint64_t chunks = in.ConsumeIntegralInRange<uint64_t>(1, 5);
      const int64_t delta = in.ConsumeIntegralInRange<int64_t>(-1024, 1024);
      return chunks * kChunkSize + static_cast<uint64_t>(delta);
    }
    case 3:
      return INT64_MAX;
    case 4:
      return UINT64_MAX;
    default:
      return in.ConsumeIntegral<uint64_t>();
  }
}

DateWindow PickWindow(FuzzedDataProvider& in, uint8_t how) {
  switch (how % 3) {
    case 0:
      return {};
    case 1: {
      auto date = [&in] {
        return DateValue(in.ConsumeIntegralInRange<int64_t>(1995, 2070),
                         in.ConsumeIntegralInRange<int64_t>(-1, 14),
                         in.ConsumeIntegralInRange<int64_t>(-1, 33));
      };
      const int64_t start = date();
      return {start, date()};
    }
    default: {
      const int64_t start = in.ConsumeIntegral<int64_t>();
      return {start, in.ConsumeIntegral<int64_t>()};
    }
  }
}

// A camera recording as the plain reading of the rules forms it.
struct CameraRow {
  uint64_t position = 0;
  uint64_t end_position = 0;
  int64_t start = 0;
  int64_t end = 0;
  uint8_t channel = 0;
  uint64_t frames = 0;
  uint64_t complete = 0;
};

// The camera grouping of the matches in [lo, hi) of `seen` (bytes past it read as zeros), position
// by position: valid frames that lie in no complete frame before them, each channel on its own
// time line. Also counts the matches, the invalid ones and the valid ones inside complete frames.
struct CameraReference {
  std::vector<CameraRow> rows;  // in the order of their first frames
  uint64_t matches = 0, invalid = 0, data = 0, complete = 0;
};

CameraReference ReferenceCameras(const std::vector<uint8_t>& seen, uint64_t lo, uint64_t hi,
                                 const DateWindow& window) {
  CameraReference ref;
  auto byte = [&](uint64_t p) -> uint8_t { return p < seen.size() ? seen[p] : 0; };
  std::map<uint8_t, size_t> open;  // channel -> row
  uint64_t covered = 0;
  for (uint64_t p = lo; p < hi; ++p) {
    if (byte(p) != 'D' || byte(p + 1) != 'H' || byte(p + 2) != 'A' || byte(p + 3) != 'V') continue;
    uint8_t header[korvane::kFrameHeaderMaxBytes];
    for (size_t i = 0; i < sizeof header; ++i) header[i] = byte(p + i);
    const uint32_t packed = korvane::LoadLe32(header + 16);
    if (!korvane::IsInDateWindow(packed, window)) continue;
    ++ref.matches;
    const korvane::FrameHeader h = korvane::ParseFrameHeader(header);
    if (!h.valid) {
      ++ref.invalid;
      continue;
    }
    uint8_t trailer[korvane::kFrameTrailerSize];
    const uint64_t at = p + h.TrailerOffset();
    for (size_t i = 0; i < sizeof trailer; ++i) trailer[i] = byte(at + i);
    const size_t have = at >= seen.size() ? 0 : std::min<uint64_t>(8, seen.size() - at);
    const bool complete = korvane::IsCompleteFrame(h, std::span<const uint8_t>(trailer, have));
    if (complete) ++ref.complete;
    if (p < covered) {
      ++ref.data;
      continue;
    }
    if (complete) covered = p + h.length;
    const int64_t t = korvane::PackedTimeToUnixSeconds(packed);
    auto it = open.find(h.channel);
    if (it != open.end()) {
      CameraRow& row = ref.rows[it->second];
      if (t - row.end == 0 || t - row.end == 1) {
        row.end = t;
        row.end_position = p + h.length;
        ++row.frames;
        row.complete += complete;
        continue;
      }
    }
    open[h.channel] = ref.rows.size();
    ref.rows.push_back({p, p + h.length, t, t, h.channel, 1, complete ? 1u : 0u});
  }
  return ref;
}

// Bytes of [lo, hi) that lie in the sector s.
uint64_t SectorOverlap(uint64_t s, uint64_t lo, uint64_t hi) {
  const uint64_t a = std::max(s * kSector, lo);
  const uint64_t b = std::min(s * kSector + kSector, hi);
  return b > a ? b - a : 0;
}

// One scan of the input, reading the way `read` says; every check on its result.
void ScanAndCheck(const uint8_t* data, size_t size, korvane::ReadMethod read) {
  FuzzedDataProvider in(data, size);
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  const uint8_t faults = in.ConsumeIntegral<uint8_t>();

  ScanJob job;
  job.offset = PickOffset(in, shape & 7);
  job.size = PickSize(in, static_cast<uint8_t>((shape >> 3) & 7));
  job.window = PickWindow(in, static_cast<uint8_t>(shape >> 6));

  // Where the data lies: near the start of the image, or around the range's start, its first or
  // its second chunk boundary.
  const uint64_t data_len = std::min<size_t>(in.remaining_bytes(), 1 << 16);
  uint64_t base = in.ConsumeIntegralInRange<uint64_t>(0, 4096);
  if ((faults & 3) != 0 && job.offset < (1 << 16)) {
    const uint64_t back = in.ConsumeIntegralInRange<uint64_t>(0, data_len + 600);
    const uint64_t anchor = job.offset + ((faults & 3) - 1) * kChunkSize;
    base = anchor - std::min(back, anchor);
  }
  const uint64_t tail = in.ConsumeIntegralInRange<uint64_t>(0, 1100);

  std::vector<uint8_t> image(base, 0);
  std::set<uint64_t> bad;
  const size_t bad_count = (faults >> 2) & 3;
  for (size_t i = 0; i < bad_count; ++i) {
    bad.insert((faults & 0x10) ? in.ConsumeIntegralInRange<uint64_t>(0, 8192)
                               : base / kSector + in.ConsumeIntegralInRange<uint64_t>(0, 130));
  }
  size_t max_read = SIZE_MAX;
  if (faults & 0x20) max_read = in.ConsumeIntegralInRange<size_t>(base < 65536 ? 1 : 4096, 70000);
  const uint64_t stop_after = (faults >> 6) & 3;  // progress reports before a stop; 0 = never
  // One worker, or several reading the device at once.
  job.threads = in.ConsumeIntegralInRange<unsigned>(1, 3);

  const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(data_len);
  image.insert(image.end(), bytes.begin(), bytes.end());
  image.resize(image.size() + tail, 0);
  const uint64_t image_size = image.size();

  auto owned = std::make_unique<MemoryDevice>(image);
  MemoryDevice& device = *owned;
  device.bad_sectors = bad;
  device.max_read = max_read;
  device.concurrent = job.threads > 1;
  // Mapped, the device's maps end at the page of the first bad sector: reading there faults as a
  // real file's unreadable page does, and the chunk is read again.
  job.read = read;
  device.mappable = read == korvane::ReadMethod::kMap;
  korvane::SourceReader reader(std::move(owned));

  std::atomic<int> stop{0};
  RecordingSink sink;
  uint64_t reports = 0;
  sink.on_progress = [&](uint64_t) {
    if (++reports == stop_after) stop = 1;
  };
  const ScanResult result = korvane::ScanSource(reader, job, sink, stop);
  CHECK(result.mapped == (read == korvane::ReadMethod::kMap), "the way of reading asked for");

  // The range as the scanner must understand it.
  const uint64_t total =
      job.size ? *job.size : (job.offset < image_size ? image_size - job.offset : 0);
  CHECK(result.range_bytes == total);
  // Progress counts only the bytes the source holds.
  const uint64_t readable = job.offset < image_size ? std::min(total, image_size - job.offset) : 0;
  CHECK(sink.starts.size() == 1 && sink.starts[0] == readable);
  CHECK(result.status.ok() || result.status.code() == korvane::ErrorCode::kStopped);
  if (result.status.ok()) {
    CHECK(result.scanned_bytes == total);
  } else {
    CHECK(stop_after != 0 && result.scanned_bytes < total);
    CHECK(result.scanned_bytes % kChunkSize == 0, "a stop ends at a chunk boundary");
  }
  CHECK(!sink.progress.empty());
  uint64_t last = 0;
  for (const auto& p : sink.progress) {
    CHECK(p.total == readable && p.done >= last && p.done <= readable);
    last = p.done;
  }
  CHECK(last == (result.status.ok() ? readable : result.scanned_bytes));
  for (const auto& call : device.calls) {
    CHECK(call.offset < image_size && call.len <= image_size - call.offset,
          "a read past the source's end");
  }

  // What a plain scan of the tested positions finds, with unreadable sectors as zeros. Bytes
  // before base are zeros and cannot start a magic, so the reference starts just before base.
  std::vector<uint8_t> seen = image;
  uint64_t unreadable = 0;
  const uint64_t scan_end = job.offset + std::min(result.scanned_bytes, UINT64_MAX - job.offset);
  for (uint64_t s : bad) {
    if (s * kSector < image_size) {
      std::fill(seen.begin() + static_cast<ptrdiff_t>(s * kSector),
                seen.begin() + static_cast<ptrdiff_t>(std::min(s * kSector + kSector, image_size)),
                0);
    }
    unreadable += SectorOverlap(s, job.offset, std::min(scan_end, image_size));
  }
  CHECK(result.unreadable_bytes == unreadable,
        std::to_string(result.unreadable_bytes) + " != " + std::to_string(unreadable));
  CHECK(unreadable == 0 || !result.read_error.empty());

  const uint64_t from = base > 3 ? base - 3 : 0;
  const std::vector<uint8_t> window_bytes(seen.begin() + static_cast<ptrdiff_t>(from), seen.end());
  const uint64_t lo = std::max(job.offset, from);
  const uint64_t hi = std::min(scan_end, image_size);
  std::vector<Recording> want;
  if (hi > lo) want = korvane::test::ReferenceScan(window_bytes, lo - from, hi - lo, job.window);
  for (Recording& r : want) {
    r.position += from;
    r.end_position += from;
  }

  CHECK(sink.closed.size() == want.size(),
        std::to_string(sink.closed.size()) + " recordings, want " + std::to_string(want.size()));
  CHECK(sink.opened.size() == want.size());
  CHECK(result.recordings == want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    CHECK(korvane::test::SameRecording(sink.closed[i], want[i]),
          "got " + Describe(sink.closed[i]) + " want " + Describe(want[i]));
    const Recording& o = sink.opened[i];
    CHECK(o.index == i && o.start == want[i].start && o.end == o.start &&
          o.position == want[i].position && o.frames == 1);
  }

  // Both groupings of the one pass agree: every match is a frame of the time grouping, every
  // valid one not inside a complete frame is one of exactly one camera recording.
  uint64_t time_frames = 0, time_valid = 0, time_complete = 0;
  for (const Recording& r : sink.closed) {
    time_frames += r.frames;
    time_valid += r.valid_frames;
    time_complete += r.complete_frames;
    uint64_t in_channels = 0;
    for (const korvane::ChannelContent& c : r.channels) {
      in_channels += c.video_frames + c.audio_frames + c.auxiliary_frames;
      CHECK(c.key_frames <= c.video_frames);
    }
    CHECK(in_channels == r.valid_frames && r.complete_frames <= r.valid_frames &&
          r.valid_frames <= r.frames);
  }
  CHECK(time_frames == result.matches);
  CHECK(time_valid == result.matches - result.invalid_matches);
  CHECK(sink.camera_opened.size() == result.camera_recordings);
  CHECK(sink.camera_closed.size() == result.camera_recordings);
  std::vector<Recording> camera = sink.camera_closed;
  std::sort(camera.begin(), camera.end(),
            [](const Recording& a, const Recording& b) { return a.index < b.index; });
  uint64_t camera_frames = 0, camera_complete = 0;
  for (size_t i = 0; i < camera.size(); ++i) {
    const Recording& r = camera[i];
    CHECK(r.index == i && sink.camera_opened[i].index == i, "each camera recording once");
    CHECK(i == 0 || r.position > camera[i - 1].position, "rows in the order of first frames");
    CHECK(r.grouping == korvane::Grouping::kCamera && r.channel && r.channels.size() == 1 &&
          r.channels[0].channel == *r.channel && r.valid_frames == r.frames);
    camera_frames += r.frames;
    camera_complete += r.complete_frames;
  }
  CHECK(camera_frames == result.matches - result.invalid_matches - result.data_matches,
        "every valid frame counted once");
  CHECK(camera_complete <= time_complete);

  // Against the plain reading of the rules; after a stop, frames waiting for a trailer ahead are
  // not complete, so only a finished scan is compared in full.
  if (result.status.ok()) {
    const CameraReference ref = ReferenceCameras(seen, lo, hi, job.window);
    CHECK(result.matches == ref.matches && result.invalid_matches == ref.invalid &&
              result.data_matches == ref.data,
          std::to_string(result.data_matches) + " data matches, want " + std::to_string(ref.data));
    CHECK(time_complete == ref.complete);
    CHECK(camera.size() == ref.rows.size(), std::to_string(camera.size()) +
                                                " camera recordings, want " +
                                                std::to_string(ref.rows.size()));
    for (size_t i = 0; i < camera.size(); ++i) {
      const CameraRow& w = ref.rows[i];
      const Recording& r = camera[i];
      CHECK(r.position == w.position && r.end_position == w.end_position && r.start == w.start &&
                r.end == w.end && *r.channel == w.channel && r.frames == w.frames &&
                r.complete_frames == w.complete,
            "got " + Describe(r) + " want @" + std::to_string(w.position));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScanAndCheck(data, size, korvane::ReadMethod::kMap);
  ScanAndCheck(data, size, korvane::ReadMethod::kPread);
  return 0;
}
