// SPDX-License-Identifier: GPL-3.0-or-later
// The details box of one row of the results list: what the recording holds, channel by channel,
// and where it lies in the source. Every value is a label whose text can be selected and copied;
// the labels carry object names so that they can be found without reading the layout.
#pragma once

#include <QDialog>
#include <QString>

#include "scan/recording.h"

namespace korvane::gui {

// The texts the box shows for a value that may be unknown.
QString CodecText(VideoCodec codec);                    // "H.264" ...; "未知" when unknown
QString ResolutionText(const ChannelContent& channel);  // "352×288"; "未知" without a size
QString FpsText(const ChannelContent& channel);         // "25"; "未知" without a rate

class DetailsBox final : public QDialog {
  Q_OBJECT

 public:
  // `closed`: the recording has ended (an open one has no end time yet, and its counts grow).
  DetailsBox(const Recording& recording, bool closed, QWidget* parent = nullptr);
};

}  // namespace korvane::gui
