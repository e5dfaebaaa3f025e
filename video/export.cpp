// SPDX-License-Identifier: GPL-3.0-or-later
#include "video/export.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "scan/save_folder.h"
#include "scan/sha256.h"
#include "scan/time_model.h"
#include "video/bitstream.h"
#include "video/frames.h"

namespace korvane::video {
namespace {

std::string AvError(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return text;
}

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// ---- libavformat's output over a pending file of the save folder ----

// The file being written, as an AVIOContext sees it: positioned writes (the muxers go back to
// fill in sizes) and reads (an MP4 is moved behind its index at the end).
struct FileIo {
  PendingFile* file = nullptr;
  uint64_t* size = nullptr;  // the file's size, shared by the writer and its readers
  uint64_t pos = 0;
  Status* error = nullptr;  // the first failure of any of them
};

int WriteIo(void* opaque, uint8_t* buf, int n) {
  FileIo* io = static_cast<FileIo*>(opaque);
  Status s = io->file->WriteAt(io->pos, buf, static_cast<size_t>(n));
  if (!s.ok()) {
    if (io->error->ok()) *io->error = std::move(s);
    return AVERROR(EIO);
  }
  io->pos += static_cast<uint64_t>(n);
  *io->size = std::max(*io->size, io->pos);
  return n;
}

int ReadIo(void* opaque, uint8_t* buf, int n) {
  FileIo* io = static_cast<FileIo*>(opaque);
  Result<size_t> got = io->file->ReadAt(io->pos, buf, static_cast<size_t>(n));
  if (!got.ok()) {
    if (io->error->ok()) *io->error = got.status();
    return AVERROR(EIO);
  }
  if (*got == 0) return AVERROR_EOF;
  io->pos += *got;
  return static_cast<int>(*got);
}

int64_t SeekIo(void* opaque, int64_t offset, int whence) {
  FileIo* io = static_cast<FileIo*>(opaque);
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return static_cast<int64_t>(*io->size);
    case SEEK_SET:
      break;
    case SEEK_CUR:
      offset += static_cast<int64_t>(io->pos);
      break;
    case SEEK_END:
      offset += static_cast<int64_t>(*io->size);
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  io->pos = static_cast<uint64_t>(offset);
  return offset;
}

constexpr int kIoBufferSize = 1 << 20;

AVIOContext* NewIo(FileIo* io, bool write) {
  uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  if (!buffer) return nullptr;
  AVIOContext* pb = avio_alloc_context(buffer, kIoBufferSize, write ? 1 : 0, io,
                                       write ? nullptr : ReadIo, write ? WriteIo : nullptr, SeekIo);
  if (!pb) av_free(buffer);
  return pb;
}

void FreeIo(AVIOContext* pb) {
  if (!pb) return;
  av_freep(&pb->buffer);
  avio_context_free(&pb);
}

// The muxer's own opening of the file (MP4 reads it back to put the index in front).
struct Output {
  FileIo io;
  uint64_t size = 0;
  Status error;
  std::vector<std::unique_ptr<FileIo>> readers;
};

int OpenForMuxer(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                 AVDictionary** options) {
  (void)url, (void)options;
  Output* out = static_cast<Output*>(s->opaque);
  if ((flags & AVIO_FLAG_WRITE) != 0) return AVERROR(EPERM);
  auto reader = std::make_unique<FileIo>(out->io);
  reader->pos = 0;
  *pb = NewIo(reader.get(), false);
  if (!*pb) return AVERROR(ENOMEM);
  out->readers.push_back(std::move(reader));
  return 0;
}

int CloseForMuxer(AVFormatContext* s, AVIOContext* pb) {
  (void)s;
  FreeIo(pb);
  return 0;
}

// ---- timestamps ----

// Milliseconds from one frame to the next: the counter's step when it moves and agrees with the
// packed times (which count whole seconds), otherwise the packed times' step, or `fallback` when
// that is none.
int64_t StepMs(const FrameHeader& prev, const FrameHeader& cur, int64_t fallback) {
  const int64_t counter = (cur.milliseconds - prev.milliseconds) & 0xFFFF;
  const int64_t seconds =
      PackedTimeToUnixSeconds(cur.packed_time) - PackedTimeToUnixSeconds(prev.packed_time);
  if (counter == 0) return fallback;
  if (seconds >= 0 && counter > (seconds - 1) * 1000 && counter < (seconds + 1) * 1000) {
    return counter;
  }
  return seconds > 0 ? seconds * 1000 : fallback;
}

int SampleRate(uint8_t index) {
  static const int kRates[] = {8000,  4000,  8000,  11025, 16000,  20000, 22050,
                               32000, 44100, 48000, 96000, 192000, 64000};
  return index < sizeof kRates / sizeof kRates[0] ? kRates[index] : 8000;
}

// The codec Matroska gets for an audio codec number of the 0x83 block, or none.
AVCodecID AudioCodec(uint8_t number) {
  switch (number) {
    case 0x0E:
      return AV_CODEC_ID_PCM_ALAW;
    case 0x0A:
      return AV_CODEC_ID_PCM_MULAW;
    default:
      return AV_CODEC_ID_NONE;
  }
}

struct Packet {
  bool video = true;
  std::vector<uint8_t> data;
  int64_t pts = 0;
  int64_t duration = 0;
  bool key = false;
};

// One file being written.
class ChannelExport {
 public:
  ChannelExport(SourceReader& reader, const ExportItem& item, Container container,
                PendingFile& file, ExportedFile& f)
      : reader_(reader), item_(item), container_(container), file_(file), f_(f) {
    out_.io.file = &file_;
    out_.io.size = &out_.size;
    out_.io.error = &out_.error;
  }
  ~ChannelExport() {
    av_packet_free(&pkt_);
    if (oc_) {
      FreeIo(oc_->pb);
      oc_->pb = nullptr;
      avformat_free_context(oc_);
    }
  }
  ChannelExport(const ChannelExport&) = delete;
  ChannelExport& operator=(const ChannelExport&) = delete;

  // Writes the file; `progress(done)` after each frame.
  template <typename Progress>
  Status Run(const std::atomic<int>& stop, Progress progress) {
    FrameBytes frame;
    FrameReader frames(reader_);
    for (uint64_t position : item_.frames) {
      if (stop.load(std::memory_order_relaxed)) {
        return Status::Error(ErrorCode::kStopped, "stopped");
      }
      Result<FrameCheck> check = frames.Read(position, &frame);
      if (!check.ok()) return check.status();
      Status s = Take(*check, position, frame);
      if (!s.ok()) return s;
      progress(position > item_.position ? position - item_.position : 0);
    }
    if (!started_) {
      f_.no_picture = true;
      return Status::Error(ErrorCode::kInternal, f_.frames_skipped
                                                     ? "no complete key frame: nothing to export"
                                                     : "no video frames: nothing to export");
    }
    if (!header_written_) {
      Status s = WriteHeader();
      if (!s.ok()) return s;
    }
    const int err = av_write_trailer(oc_);
    if (err < 0) return MuxError("cannot finish the file", err);
    avio_flush(oc_->pb);
    if (!out_.error.ok()) return out_.error;
    return Status::Ok();
  }

  uint64_t size() const { return out_.size; }
  uint64_t first_position() const { return first_position_; }
  uint64_t end_position() const { return end_position_; }

 private:
  Status MuxError(const std::string& what, int err) {
    if (!out_.error.ok()) return out_.error;
    return Status::Error(ErrorCode::kWriteFailed, what + ": " + AvError(err));
  }

  Status Take(FrameCheck check, uint64_t position, const FrameBytes& frame) {
    const FrameHeader& h = frame.header;
    if (check != FrameCheck::kComplete || h.channel != item_.channel) {
      // Only a video frame is counted: an incomplete audio frame is no picture lost.
      if (check == FrameCheck::kNotAFrame || !h.IsVideo() || h.channel != item_.channel) {
        if (check != FrameCheck::kNotAFrame && h.IsAudio() && h.channel == item_.channel) {
          ++f_.audio_left_out;
        }
        return Status::Ok();
      }
      ++f_.frames_skipped;
      return Status::Ok();
    }
    if (h.IsAudio()) return TakeAudio(frame);
    if (!h.IsVideo()) return Status::Ok();
    if (!started_) {
      if (!h.IsKeyFrame()) {
        ++f_.frames_skipped;
        ++f_.skipped_before_key;
        return Status::Ok();
      }
      Status s = Start(frame);
      if (!s.ok()) return s;
      first_position_ = position;
    } else {
      if (h.IsKeyFrame()) {
        Status s = CheckSameFormat(position, frame);
        if (!s.ok()) return s;
      }
      if (h.extensions.fps && *h.extensions.fps > 0) step_ = 1000 / *h.extensions.fps;
      video_pts_ += StepMs(last_video_, h, std::max<int64_t>(step_, 1));
    }
    last_video_ = h;
    end_position_ = position + h.length;
    ++f_.frames_written;
    ++frames_since_start_;
    return Queue(true, frame, video_pts_, std::max<int64_t>(step_, 1), h.IsKeyFrame());
  }

  Status TakeAudio(const FrameBytes& frame) {
    const FrameHeader& h = frame.header;
    const AVCodecID codec =
        h.extensions.audio_codec ? AudioCodec(*h.extensions.audio_codec) : audio_codec_;
    if (!started_ || container_ != Container::kMkv || codec == AV_CODEC_ID_NONE ||
        (audio_stream_ == nullptr && header_written_) ||
        (audio_codec_ != AV_CODEC_ID_NONE && codec != audio_codec_) || frame.payload_size == 0) {
      ++f_.audio_left_out;
      return Status::Ok();
    }
    const int channels = std::max<int>(h.extensions.audio_channels.value_or(1), 1);
    if (audio_codec_ == AV_CODEC_ID_NONE) {
      audio_codec_ = codec;
      audio_channels_ = channels;
      audio_rate_ = SampleRate(h.extensions.audio_rate_index.value_or(0));
      audio_pts_ = std::max<int64_t>(0, video_pts_ + StepMs(last_video_, h, 0));
    } else {
      const int64_t step = StepMs(last_audio_, h, last_audio_duration_);
      audio_pts_ += std::max<int64_t>(step, 1);
    }
    last_audio_ = h;
    last_audio_duration_ =
        static_cast<int64_t>(frame.payload_size) * 1000 / (audio_channels_ * audio_rate_);
    ++f_.audio_written;
    return Queue(false, frame, audio_pts_, last_audio_duration_, true);
  }

  // The file's streams are known once the first key frame is read and, for Matroska, an audio
  // frame came or enough pictures went by without one.
  Status Queue(bool video, const FrameBytes& frame, int64_t pts, int64_t duration, bool key) {
    Packet p;
    p.video = video;
    p.pts = pts;
    p.duration = duration;
    p.key = key;
    if (header_written_) return Write(p, frame.payload(), frame.payload_size);
    p.data.assign(frame.payload(), frame.payload() + frame.payload_size);
    queued_bytes_ += p.data.size();
    queue_.push_back(std::move(p));
    const bool audio_known = container_ != Container::kMkv || audio_codec_ != AV_CODEC_ID_NONE ||
                             frames_since_start_ > 50 || queued_bytes_ > (32u << 20);
    if (!audio_known) return Status::Ok();
    return WriteHeader();
  }

  // Hands the codec's bytes to the muxer. A file of one stream takes them as they are, without a
  // copy; with audio beside the pictures, the muxer's interleaving keeps (copies) what it holds
  // back.
  Status Write(const Packet& p, const uint8_t* data, size_t size) {
    if (!pkt_) pkt_ = av_packet_alloc();
    if (!pkt_) return Status::Error(ErrorCode::kNoMemory, "not enough memory");
    AVPacket* pkt = pkt_;
    av_packet_unref(pkt);
    pkt->data = const_cast<uint8_t*>(data);
    pkt->size = static_cast<int>(size);
    AVStream* st = p.video ? video_stream_ : audio_stream_;
    pkt->stream_index = st->index;
    pkt->pts = pkt->dts = p.pts;
    pkt->duration = p.duration;
    if (p.key) pkt->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(pkt, AVRational{1, 1000}, st->time_base);
    const int err = audio_stream_ ? av_interleaved_write_frame(oc_, pkt) : av_write_frame(oc_, pkt);
    av_packet_unref(pkt);
    if (err < 0) return MuxError("cannot write a frame", err);
    return Status::Ok();
  }

  Status Start(const FrameBytes& frame) {
    const FrameHeader& h = frame.header;
    const std::span<const uint8_t> payload(frame.payload(), frame.payload_size);
    codec_ = h.extensions.codec();
    if (codec_ != VideoCodec::kH264 && codec_ != VideoCodec::kH265) codec_ = GuessCodec(payload);
    if (codec_ != VideoCodec::kH264 && codec_ != VideoCodec::kH265) {
      const char* name = VideoCodecName(codec_);
      return Status::Error(ErrorCode::kInternal, std::string("the video is ") +
                                                     (name ? name : "of an unknown codec") +
                                                     ": only H.264 and H.265 are exported");
    }
    extradata_ = ParameterSets(codec_, payload);
    if (extradata_.empty()) {
      return Status::Error(ErrorCode::kInternal,
                           "the first key frame holds no parameter sets (SPS/PPS)");
    }
    if (h.extensions.width && h.extensions.height && *h.extensions.width && *h.extensions.height) {
      width_ = *h.extensions.width;
      height_ = *h.extensions.height;
    } else {
      const PictureSize size = SizeFromParameterSets(codec_, payload);
      width_ = size.width;
      height_ = size.height;
    }
    if (width_ == 0 || height_ == 0) {
      return Status::Error(ErrorCode::kInternal, "the picture size cannot be read");
    }
    fps_ = h.extensions.fps && *h.extensions.fps > 0 ? *h.extensions.fps : 25;
    step_ = 1000 / fps_;
    f_.codec = VideoCodecName(codec_);
    f_.width = width_;
    f_.height = height_;
    started_ = true;
    return Status::Ok();
  }

  Status CheckSameFormat(uint64_t position, const FrameBytes& frame) {
    const FrameHeader& h = frame.header;
    const VideoCodec codec = h.extensions.codec();
    if (codec != VideoCodec::kUnknown && codec != codec_) {
      return Status::Error(ErrorCode::kRefused,
                           std::string("the codec changes from ") + VideoCodecName(codec_) +
                               " to " + (VideoCodecName(codec) ? VideoCodecName(codec) : "?") +
                               " at the key frame at " + std::to_string(position) +
                               "; a file holds one codec");
    }
    if (h.extensions.width && h.extensions.height && *h.extensions.width && *h.extensions.height &&
        (*h.extensions.width != width_ || *h.extensions.height != height_)) {
      return Status::Error(ErrorCode::kRefused,
                           "the picture size changes from " + std::to_string(width_) + "x" +
                               std::to_string(height_) + " to " +
                               std::to_string(*h.extensions.width) + "x" +
                               std::to_string(*h.extensions.height) + " at the key frame at " +
                               std::to_string(position) + "; a file holds one picture size");
    }
    return Status::Ok();
  }

  Status WriteHeader() {
    header_written_ = true;
    const char* format = container_ == Container::kMp4 ? "mp4" : "matroska";
    int err = avformat_alloc_output_context2(&oc_, nullptr, format, item_.file_name.c_str());
    if (err < 0 || !oc_) return MuxError("cannot start the file", err);
    oc_->opaque = &out_;
    oc_->io_open = OpenForMuxer;
    oc_->io_close2 = CloseForMuxer;
    oc_->flags |= AVFMT_FLAG_CUSTOM_IO;
    oc_->pb = NewIo(&out_.io, true);
    if (!oc_->pb) return Status::Error(ErrorCode::kNoMemory, "not enough memory");

    video_stream_ = avformat_new_stream(oc_, nullptr);
    if (!video_stream_) return Status::Error(ErrorCode::kNoMemory, "not enough memory");
    AVCodecParameters* par = video_stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = codec_ == VideoCodec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    par->width = width_;
    par->height = height_;
    par->extradata =
        static_cast<uint8_t*>(av_mallocz(extradata_.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return Status::Error(ErrorCode::kNoMemory, "not enough memory");
    std::memcpy(par->extradata, extradata_.data(), extradata_.size());
    par->extradata_size = static_cast<int>(extradata_.size());
    video_stream_->time_base = AVRational{1, 1000};
    video_stream_->avg_frame_rate = AVRational{fps_, 1};

    if (audio_codec_ != AV_CODEC_ID_NONE) {
      audio_stream_ = avformat_new_stream(oc_, nullptr);
      if (!audio_stream_) return Status::Error(ErrorCode::kNoMemory, "not enough memory");
      AVCodecParameters* a = audio_stream_->codecpar;
      a->codec_type = AVMEDIA_TYPE_AUDIO;
      a->codec_id = audio_codec_;
      a->sample_rate = audio_rate_;
      av_channel_layout_default(&a->ch_layout, audio_channels_);
      a->bits_per_coded_sample = 8;
      a->block_align = audio_channels_;
      a->bit_rate = int64_t{8} * audio_rate_ * audio_channels_;
      audio_stream_->time_base = AVRational{1, 1000};
    }

    const std::string start = FormatUnixSeconds(item_.start);
    std::string iso = CorrectedText(item_.start, item_.clock_offset);
    iso[iso.size() - 9] = 'T';  // the space before the time of day
    iso += ".000000Z";
    av_dict_set(&oc_->metadata, "creation_time", iso.c_str(), 0);
    av_dict_set(&oc_->metadata, "recorder_start", start.c_str(), 0);
    if (item_.clock_offset != 0) {
      av_dict_set(&oc_->metadata, "clock_offset", FormatClockOffset(item_.clock_offset).c_str(), 0);
    }
    AVDictionary* options = nullptr;
    if (container_ == Container::kMp4) {
      av_dict_set(&options, "movflags", "+faststart+use_metadata_tags", 0);
    }
    err = avformat_write_header(oc_, &options);
    av_dict_free(&options);
    if (err < 0) return MuxError("cannot start the file", err);
    for (const Packet& p : queue_) {
      Status s = Write(p, p.data.data(), p.data.size());
      if (!s.ok()) return s;
    }
    queue_.clear();
    return Status::Ok();
  }

  SourceReader& reader_;
  const ExportItem& item_;
  Container container_;
  PendingFile& file_;
  ExportedFile& f_;
  Output out_;
  AVFormatContext* oc_ = nullptr;
  AVStream* video_stream_ = nullptr;
  AVStream* audio_stream_ = nullptr;
  AVPacket* pkt_ = nullptr;

  bool started_ = false;
  bool header_written_ = false;
  VideoCodec codec_ = VideoCodec::kUnknown;
  std::vector<uint8_t> extradata_;
  uint16_t width_ = 0;
  uint16_t height_ = 0;
  int fps_ = 25;
  int64_t step_ = 40;
  FrameHeader last_video_;
  int64_t video_pts_ = 0;
  uint64_t frames_since_start_ = 0;
  uint64_t first_position_ = 0;
  uint64_t end_position_ = 0;

  AVCodecID audio_codec_ = AV_CODEC_ID_NONE;
  int audio_channels_ = 1;
  int audio_rate_ = 8000;
  FrameHeader last_audio_;
  int64_t audio_pts_ = 0;
  int64_t last_audio_duration_ = 40;

  std::deque<Packet> queue_;
  uint64_t queued_bytes_ = 0;
};

// The file's size and SHA-256, read back from it.
Status HashFile(PendingFile& file, uint64_t size, std::string* hex) {
  Sha256 sha;
  if (!sha.ok()) return Status::Error(ErrorCode::kInternal, "SHA-256 is not available");
  std::vector<uint8_t> buf(1 << 20);
  for (uint64_t at = 0; at < size;) {
    Result<size_t> got =
        file.ReadAt(at, buf.data(), static_cast<size_t>(std::min<uint64_t>(buf.size(), size - at)));
    if (!got.ok()) return got.status();
    if (*got == 0) return Status::Error(ErrorCode::kReadFailed, "the file is shorter than written");
    sha.Update(buf.data(), *got);
    at += *got;
  }
  Result<std::string> h = sha.Hex();
  if (!h.ok()) return h.status();
  *hex = *h;
  return Status::Ok();
}

std::string ExportsLine(const ExportedFile& f, const ExportItem& item, const std::string& source,
                        uint64_t position, uint64_t end_position) {
  return CsvField(f.file_name) + ',' + CsvField(item.recording_name) + ',' +
         std::to_string(item.channel) + ',' + FormatUnixSeconds(item.start) + ',' +
         FormatUnixSeconds(item.end) + ',' + CsvField(source) + ',' + std::to_string(position) +
         ',' + std::to_string(end_position) + ',' + std::to_string(f.frames_written) + ',' +
         std::to_string(f.frames_skipped) + ',' + std::to_string(f.bytes) + ',' + f.sha256 + '\n';
}

uint64_t Span(const ExportItem& item) {
  return item.end_position > item.position ? item.end_position - item.position : 0;
}

}  // namespace

void QuietFfmpegLog() {
  av_log_set_level(AV_LOG_ERROR);
}

ExportResult ExportRecordings(SourceReader& reader, const ExportJob& job, ExportSink& sink,
                              const std::atomic<int>& stop) {
  QuietFfmpegLog();
  ExportResult result;
  try {
    Result<std::unique_ptr<SaveFolder>> folder = OpenSaveFolderOff(job.folder, job.source);
    if (!folder.ok()) {
      result.status = folder.status();
      return result;
    }
    const std::string source = CanonicalSourcePath(job.source);
    uint64_t total = 0;
    for (const ExportItem& item : job.items) total += Span(item);
    sink.OnExportStart(total, job.items.size());
    uint64_t done = 0;
    for (size_t n = 0; n < job.items.size(); ++n) {
      const ExportItem& item = job.items[n];
      sink.OnFileStart(item, n);
      ExportedFile f;
      f.recording_name = item.recording_name;
      f.channel = item.channel;
      Status status;
      std::unique_ptr<PendingFile> pending;
      uint64_t position = 0, end_position = 0;
      {
        Result<std::unique_ptr<PendingFile>> created = (*folder)->CreateFile();
        if (!created.ok()) {
          status = created.status();
        } else {
          pending = std::move(*created);
          ChannelExport exporter(reader, item, job.container, *pending, f);
          status = exporter.Run(
              stop, [&](uint64_t at) { sink.OnProgress(done + std::min(at, Span(item)), total); });
          f.bytes = exporter.size();
          position = exporter.first_position();
          end_position = exporter.end_position();
        }
      }
      if (status.ok()) status = HashFile(*pending, f.bytes, &f.sha256);
      if (status.ok()) {
        Result<std::string> name = CommitFile(*pending, item.file_name, kMaxNameNumber);
        if (name.ok()) {
          f.file_name = *name;
        } else {
          status = name.status();
        }
      }
      pending.reset();  // removes a file that was not named
      done += Span(item);
      if (status.code() == ErrorCode::kStopped) {
        f.outcome = FileOutcome::kStopped;
        ++result.failed_files;
        result.files.push_back(f);
        sink.OnFileDone(f);
        result.status = status;
        return result;
      }
      if (!status.ok()) {
        f.outcome = FileOutcome::kFailed;
        f.error = status.message();
        f.bytes = 0;
        f.sha256.clear();
        ++(f.no_picture ? result.no_picture_files : result.failed_files);
      } else {
        f.outcome = FileOutcome::kSaved;
        ++result.exported_files;
        result.exported_bytes += f.bytes;
        Status logged = (*folder)->AppendToLog(
            kExportsName, kExportsHeader, ExportsLine(f, item, source, position, end_position));
        if (logged.ok()) {
          f.in_manifest = true;
        } else {
          f.error = "no line in " + std::string(kExportsName) + ": " + logged.message();
          if (result.manifest_error.empty()) result.manifest_error = f.error;
        }
      }
      result.files.push_back(f);
      sink.OnProgress(done, total);
      sink.OnFileDone(f);
    }
    (*folder)->Sync();
  } catch (...) {
    result.status = StatusFromException("export");
  }
  return result;
}

}  // namespace korvane::video
