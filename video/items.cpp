// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of video export that need none of FFmpeg's libraries: what a recording gives to
// export, and the containers' file name extensions.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "video/export.h"

namespace korvane::video {

const char* ContainerExtension(Container container) {
  return container == Container::kMp4 ? "mp4" : "mkv";
}

std::vector<ExportItem> RecordingItems(const Recording& r, std::vector<ChannelFrames> channels,
                                       const std::string& extension) {
  if (r.channel) {
    std::erase_if(channels, [&](const ChannelFrames& c) { return c.channel != *r.channel; });
  }
  const auto with_video = std::count_if(channels.begin(), channels.end(),
                                        [](const ChannelFrames& c) { return c.video_frames > 0; });
  std::vector<ExportItem> items;
  for (ChannelFrames& c : channels) {
    if (c.video_frames == 0) continue;
    ExportItem item;
    item.recording_name = r.Name();
    item.channel = c.channel;
    item.file_name = std::to_string(r.index) +
                     (with_video == 1 ? "" : "-ch" + std::to_string(unsigned{c.channel})) + "." +
                     extension;
    item.start = r.start;
    item.end = r.end;
    item.position = r.position;
    item.end_position = r.end_position;
    item.frames = std::move(c.frames);
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace korvane::video
