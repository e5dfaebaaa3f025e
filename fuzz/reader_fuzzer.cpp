// SPDX-License-Identifier: GPL-3.0-or-later
// SourceReader::ReadAligned at arbitrary offsets and lengths, on sources of any size, with
// unreadable sectors, short reads and a source that shrinks between two reads.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "fuzz/check.h"
#include "scan/source_reader.h"
#include "tests/test_support.h"

namespace {

using korvane::SourceReader;
using korvane::test::MemoryDevice;

constexpr uint64_t kSector = SourceReader::kSectorSize;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  const size_t source_size = in.ConsumeIntegralInRange<size_t>(0, 40000);
  std::vector<uint8_t> image(source_size);
  for (size_t i = 0; i < source_size; ++i) image[i] = static_cast<uint8_t>(i * 131 + i / 509 + 1);

  auto owned = std::make_unique<MemoryDevice>(image);
  MemoryDevice& device = *owned;
  for (size_t n = (flags & 3); n > 0; --n) {
    device.bad_sectors.insert(in.ConsumeIntegralInRange<uint64_t>(0, source_size / kSector + 1));
  }
  const size_t max_read = (flags & 4) ? in.ConsumeIntegralInRange<size_t>(1, 9000) : SIZE_MAX;
  size_t shrink_to = SIZE_MAX;  // applied after the first read request
  if (flags & 8) shrink_to = in.ConsumeIntegralInRange<size_t>(0, source_size);
  SourceReader reader(std::move(owned));

  for (int request = 0; request < 3 && in.remaining_bytes() > 0; ++request) {
    uint64_t offset = in.ConsumeIntegralInRange<uint64_t>(0, source_size + 2048);
    if (flags & 0x10) offset = UINT64_MAX - in.ConsumeIntegralInRange<uint64_t>(0, 1 << 20);
    if ((flags & 0x20) && request == 1)
      offset = INT64_MAX - in.ConsumeIntegralInRange<uint64_t>(0, 600);
    const size_t len = in.ConsumeIntegralInRange<size_t>(0, 40000);
    const size_t counted = (flags & 0x40) ? in.ConsumeIntegralInRange<size_t>(0, len) : SIZE_MAX;

    // Short reads, but not so short that one request takes thousands of calls.
    device.max_read = std::max(max_read, len / 1024);
    const uint64_t size_now = device.Size();
    // Exactly len bytes, so that ASan sees any write past them.
    std::unique_ptr<uint8_t[]> out(new uint8_t[len]);
    std::fill_n(out.get(), len, 0xEE);
    const SourceReader::Stats stats = reader.ReadAligned(out.get(), len, offset, counted);

    // The counted part of the request, as far as the source reached when it was opened.
    const uint64_t counted_then =
        offset +
        std::min<uint64_t>({counted, len, source_size > offset ? source_size - offset : 0});
    bool bad = false;
    for (size_t i = 0; i < len; ++i) {
      const uint64_t p = offset + i;
      if (i == 0 || p % kSector == 0) bad = device.bad_sectors.count(p / kSector) != 0;
      if (p < offset || p >= size_now || bad) {
        CHECK(out[i] == 0, "byte " + std::to_string(p) + " should read as zero");
      } else {
        CHECK(out[i] == image[p], "byte " + std::to_string(p) + " differs");
      }
    }
    // A bad sector that the source still reaches into is unreadable as a whole (as far as the
    // source reached when it was opened); the counted bytes past the source's new end outside
    // such sectors are missing.
    uint64_t expected_unreadable = 0;
    uint64_t unreadable_past_end = 0;
    for (uint64_t s : device.bad_sectors) {
      if (s * kSector >= size_now) continue;
      const uint64_t a = std::max(s * kSector, offset);
      const uint64_t b = std::min(s * kSector + kSector, counted_then);
      if (b <= a) continue;
      expected_unreadable += b - a;
      if (b > std::max(a, size_now)) unreadable_past_end += b - std::max(a, size_now);
    }
    CHECK(stats.unreadable == expected_unreadable,
          std::to_string(stats.unreadable) + " != " + std::to_string(expected_unreadable));
    CHECK(stats.unreadable == 0 || !stats.error.empty());
    const uint64_t past_end =
        counted_then > std::max(offset, size_now) ? counted_then - std::max(offset, size_now) : 0;
    const uint64_t expected_missing = past_end - unreadable_past_end;
    CHECK(stats.missing == expected_missing,
          std::to_string(stats.missing) + " != " + std::to_string(expected_missing));
    CHECK(expected_missing == 0 || stats.source_end.has_value(), "a shrink goes unsaid");
    CHECK(!stats.source_end || *stats.source_end == size_now, "the source ends elsewhere");
    // Nothing is read past the end the source had when it was opened.
    for (const auto& call : device.calls) {
      CHECK(call.offset < source_size && call.len <= source_size - call.offset,
            "read past the end");
    }
    device.calls.clear();
    if (shrink_to < device.bytes().size()) device.bytes().resize(shrink_to);
  }
  return 0;
}
