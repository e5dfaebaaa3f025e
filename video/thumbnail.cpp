// SPDX-License-Identifier: GPL-3.0-or-later
#include "video/thumbnail.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "scan/save_folder.h"
#include "video/bitstream.h"
#include "video/frames.h"

namespace korvane::video {
namespace {

Status NoMemory() {
  return Status::Error(ErrorCode::kNoMemory, "not enough memory");
}

// The picture of one access unit decoded alone, or why there is none.
Result<RgbImage> Decode(VideoCodec codec, const uint8_t* data, size_t size) {
  const AVCodec* decoder =
      avcodec_find_decoder(codec == VideoCodec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
  if (!decoder) return Status::Error(ErrorCode::kInternal, "this build has no decoder for it");
  AVCodecContext* ctx = avcodec_alloc_context3(decoder);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  Result<RgbImage> result = NoMemory();
  int err = 0;
  if (ctx && pkt && frame) {
    ctx->thread_count = 1;
    err = avcodec_open2(ctx, decoder, nullptr);
    if (err == 0) err = av_new_packet(pkt, static_cast<int>(size));
    if (err == 0) {
      std::memcpy(pkt->data, data, size);
      pkt->flags |= AV_PKT_FLAG_KEY;
      err = avcodec_send_packet(ctx, pkt);
    }
    if (err == 0) err = avcodec_send_packet(ctx, nullptr);
    if (err == 0) err = avcodec_receive_frame(ctx, frame);
    if (err == 0 && frame->width > 0 && frame->height > 0) {
      SwsContext* sws = sws_getContext(
          frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
          frame->height, AV_PIX_FMT_RGB24, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
          nullptr, nullptr, nullptr);
      if (sws) {
        RgbImage image;
        image.width = frame->width;
        image.height = frame->height;
        image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
        uint8_t* dst[1] = {image.rgb.data()};
        const int stride[1] = {image.width * 3};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
        sws_freeContext(sws);
        result = std::move(image);
      }
    } else if (err == 0) {
      err = AVERROR_INVALIDDATA;
    }
    if (err != 0) {
      char text[AV_ERROR_MAX_STRING_SIZE] = {};
      av_strerror(err, text, sizeof text);
      result = Status::Error(ErrorCode::kInternal, text);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return result;
}

Result<RgbImage> FirstPicture(SourceReader& reader, uint8_t channel,
                              const std::vector<uint64_t>& frames, const std::atomic<int>& stop,
                              bool* none) {
  FrameBytes frame;
  FrameReader source(reader);
  std::string why = "no complete key frame";
  for (uint64_t position : frames) {
    if (stop.load(std::memory_order_relaxed)) return Status::Error(ErrorCode::kStopped, "stopped");
    Result<FrameCheck> check = source.Read(position, &frame);
    if (!check.ok()) return check.status();
    const FrameHeader& h = frame.header;
    if (*check != FrameCheck::kComplete || h.channel != channel || !h.IsKeyFrame()) continue;
    VideoCodec codec = h.extensions.codec();
    if (codec != VideoCodec::kH264 && codec != VideoCodec::kH265) {
      codec = GuessCodec(std::span<const uint8_t>(frame.payload(), frame.payload_size));
    }
    if (codec != VideoCodec::kH264 && codec != VideoCodec::kH265) {
      why = "key frames of a codec other than H.264 and H.265";
      continue;
    }
    Result<RgbImage> image = Decode(codec, frame.payload(), frame.payload_size);
    if (image.ok() || image.status().code() == ErrorCode::kNoMemory) return image;
    why = "the key frame at " + std::to_string(position) + " does not decode (" +
          image.status().message() + ")";
  }
  *none = true;
  return Status::Error(ErrorCode::kInternal, "no decodable key frame: " + why);
}

}  // namespace

Result<RgbImage> DecodeFirstKeyFrame(SourceReader& reader, uint8_t channel,
                                     const std::vector<uint64_t>& frames,
                                     const std::atomic<int>& stop) {
  bool none = false;
  return FirstPicture(reader, channel, frames, stop, &none);
}

Result<std::vector<uint8_t>> EncodePng(const RgbImage& image) {
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!encoder) return Status::Error(ErrorCode::kInternal, "this build has no PNG encoder");
  AVCodecContext* ctx = avcodec_alloc_context3(encoder);
  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  Result<std::vector<uint8_t>> result = NoMemory();
  if (ctx && frame && pkt) {
    ctx->width = image.width;
    ctx->height = image.height;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 1};
    int err = avcodec_open2(ctx, encoder, nullptr);
    if (err == 0) {
      frame->width = image.width;
      frame->height = image.height;
      frame->format = AV_PIX_FMT_RGB24;
      err = av_frame_get_buffer(frame, 0);
    }
    if (err == 0) {
      for (int y = 0; y < image.height; ++y) {
        std::memcpy(frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                    image.rgb.data() + static_cast<size_t>(y) * image.width * 3,
                    static_cast<size_t>(image.width) * 3);
      }
      err = avcodec_send_frame(ctx, frame);
    }
    if (err == 0) err = avcodec_receive_packet(ctx, pkt);
    if (err == 0) {
      result = std::vector<uint8_t>(pkt->data, pkt->data + pkt->size);
    } else {
      char text[AV_ERROR_MAX_STRING_SIZE] = {};
      av_strerror(err, text, sizeof text);
      result = Status::Error(ErrorCode::kInternal, std::string("PNG: ") + text);
    }
  }
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return result;
}

ExportResult WriteThumbnails(SourceReader& reader, const ExportJob& job, ExportSink& sink,
                             const std::atomic<int>& stop) {
  QuietFfmpegLog();
  ExportResult result;
  try {
    Result<std::unique_ptr<SaveFolder>> folder = OpenSaveFolderOff(job.folder, job.source);
    if (!folder.ok()) {
      result.status = folder.status();
      return result;
    }
    sink.OnExportStart(job.items.size(), job.items.size());
    for (size_t n = 0; n < job.items.size(); ++n) {
      const ExportItem& item = job.items[n];
      sink.OnFileStart(item, n);
      ExportedFile f;
      f.recording_name = item.recording_name;
      f.channel = item.channel;
      Status status;
      Result<RgbImage> image = FirstPicture(reader, item.channel, item.frames, stop, &f.no_picture);
      Result<std::vector<uint8_t>> png = image.ok() ? EncodePng(*image) : image.status();
      if (!png.ok()) {
        status = png.status();
      } else {
        f.width = static_cast<uint16_t>(image->width);
        f.height = static_cast<uint16_t>(image->height);
        Result<std::unique_ptr<PendingFile>> created = (*folder)->CreateFile();
        if (!created.ok()) {
          status = created.status();
        } else {
          status = (*created)->Write(png->data(), png->size());
          if (status.ok()) {
            Result<std::string> name = CommitFile(**created, item.file_name, kMaxNameNumber);
            if (name.ok()) {
              f.file_name = *name;
            } else {
              status = name.status();
            }
          }
        }
        f.bytes = png->size();
      }
      if (status.code() == ErrorCode::kStopped) {
        f.outcome = FileOutcome::kStopped;
        ++result.failed_files;
        result.files.push_back(f);
        sink.OnFileDone(f);
        result.status = status;
        return result;
      }
      if (status.ok()) {
        f.outcome = FileOutcome::kSaved;
        f.frames_written = 1;
        ++result.exported_files;
        result.exported_bytes += f.bytes;
      } else {
        f.outcome = FileOutcome::kFailed;
        f.error = status.message();
        f.bytes = 0;
        ++(f.no_picture ? result.no_picture_files : result.failed_files);
      }
      result.files.push_back(f);
      sink.OnProgress(n + 1, job.items.size());
      sink.OnFileDone(f);
    }
    (*folder)->Sync();
  } catch (...) {
    result.status = StatusFromException("thumbnails");
  }
  return result;
}

}  // namespace korvane::video
