// SPDX-License-Identifier: GPL-3.0-or-later
// The details box of one row of the results list: what the recording holds, channel by channel,
// and where it lies in the source. Every value is a label whose text can be selected and copied;
// the labels carry object names so that they can be found without reading the layout.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "scan/recording.h"

class QImage;
class QLabel;

namespace korvane::gui {

// The texts the box shows for a value that may be unknown.
QString CodecText(VideoCodec codec);                    // "H.264" ...; "未知" when unknown
QString ResolutionText(const ChannelContent& channel);  // "352×288"; "未知" without a size
QString FpsText(const ChannelContent& channel);         // "25"; "未知" without a rate

class DetailsBox final : public QDialog {
  Q_OBJECT

 public:
  // `closed`: the recording has ended (an open one has no end time yet, and its counts grow).
  // `source`: the path the recording was scanned from; when given (and this build has video), each
  // video channel's group shows the picture of its first decodable key frame, decoded on a thread
  // of the box's own. `clock_offset`: the start and end shown are corrected by it, and the
  // recorder's own times and the offset are shown beside them.
  DetailsBox(const Recording& recording, bool closed, QWidget* parent = nullptr,
             const std::string& source = {}, std::optional<int64_t> clock_offset = std::nullopt);
  // Stops the decoding and waits for it: a picture that has not arrived by then never does.
  ~DetailsBox() override;

  // Whether every channel's picture (or the reason it has none) is shown.
  bool PicturesDone() const { return pictures_left_ == 0; }

 signals:
  // The last channel's picture (or reason) has been shown.
  void PicturesShown();

 private:
  // On the box's thread: the channel's picture, or why it has none.
  void ShowPicture(uint8_t channel, const QImage& image, int code, const QString& why);
  void DecodePictures(std::string source, Recording recording);

  std::atomic<int> stop_{0};
  std::thread decoder_;
  int pictures_left_ = 0;
};

}  // namespace korvane::gui
