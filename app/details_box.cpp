// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/details_box.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QStringList>
#include <QStyle>
#include <QVBoxLayout>

namespace korvane::gui {

namespace {

QString Unknown() {
  return DetailsBox::tr("未知");
}

// A value of the box: selectable by mouse and keyboard, found by its object name.
QLabel* Value(const QString& name, const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  return label;
}

void AddRow(QFormLayout* form, const QString& caption, const QString& name, const QString& text) {
  form->addRow(caption, Value(name, text, form->parentWidget()));
}

QString ChannelList(const Recording& r) {
  if (r.channels.empty()) return DetailsBox::tr("无");
  QStringList numbers;
  for (const ChannelContent& c : r.channels) numbers << QString::number(c.channel);
  return numbers.join(QStringLiteral(", "));
}

// One channel's group: its counts and formats, and beside them the place its picture will take.
QGroupBox* ChannelBox(const ChannelContent& c, QWidget* parent) {
  auto* box = new QGroupBox(DetailsBox::tr("通道 %1").arg(c.channel), parent);
  box->setObjectName(QStringLiteral("channelBox%1").arg(c.channel));
  auto* row = new QHBoxLayout(box);
  auto* form = new QFormLayout;
  row->addLayout(form);
  AddRow(form, DetailsBox::tr("编码:"), QStringLiteral("codec"), CodecText(c.codec));
  AddRow(form, DetailsBox::tr("分辨率:"), QStringLiteral("resolution"), ResolutionText(c));
  AddRow(form, DetailsBox::tr("帧率:"), QStringLiteral("fps"), FpsText(c));
  AddRow(form, DetailsBox::tr("视频帧:"), QStringLiteral("videoFrames"),
         QString::number(c.video_frames));
  AddRow(form, DetailsBox::tr("关键帧:"), QStringLiteral("keyFrames"),
         QString::number(c.key_frames));
  AddRow(form, DetailsBox::tr("音频帧:"), QStringLiteral("audioFrames"),
         QString::number(c.audio_frames));
  AddRow(form, DetailsBox::tr("辅助帧:"), QStringLiteral("auxiliaryFrames"),
         QString::number(c.auxiliary_frames));
  // The channel's picture goes here; until there is one, the place stays empty and hidden.
  auto* picture = new QLabel(box);
  picture->setObjectName(QStringLiteral("picture"));
  picture->setAlignment(Qt::AlignCenter);
  picture->hide();
  row->addWidget(picture, 1);
  return box;
}

}  // namespace

QString CodecText(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264:
      return QStringLiteral("H.264");
    case VideoCodec::kH265:
      return QStringLiteral("H.265");
    case VideoCodec::kMpeg4:
      return QStringLiteral("MPEG-4");
    case VideoCodec::kMjpeg:
      return QStringLiteral("MJPEG");
    case VideoCodec::kUnknown:
      break;
  }
  return Unknown();
}

QString ResolutionText(const ChannelContent& channel) {
  if (!channel.width || !channel.height) return Unknown();
  return QStringLiteral("%1×%2").arg(*channel.width).arg(*channel.height);
}

QString FpsText(const ChannelContent& channel) {
  return channel.fps ? QString::number(*channel.fps) : Unknown();
}

DetailsBox::DetailsBox(const Recording& r, bool closed, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("recordingDetails"));
  setWindowTitle(DetailsBox::tr("详细信息 - %1").arg(QString::fromStdString(r.Name())));
  auto* layout = new QVBoxLayout(this);

  auto* form = new QFormLayout;
  layout->addLayout(form);
  AddRow(form, DetailsBox::tr("文件名:"), QStringLiteral("name"), QString::fromStdString(r.Name()));
  AddRow(form, DetailsBox::tr("开始时间:"), QStringLiteral("start"),
         QString::fromStdString(r.StartText()));
  AddRow(form, DetailsBox::tr("结束时间:"), QStringLiteral("end"),
         closed ? QString::fromStdString(r.EndText()) : QString());
  AddRow(form, DetailsBox::tr("通道:"), QStringLiteral("channels"), ChannelList(r));
  AddRow(form, DetailsBox::tr("帧数:"), QStringLiteral("frames"), QString::number(r.frames));
  AddRow(form, DetailsBox::tr("有效帧:"), QStringLiteral("validFrames"),
         QString::number(r.valid_frames));
  AddRow(form, DetailsBox::tr("完整帧:"), QStringLiteral("completeFrames"),
         QString::number(r.complete_frames));
  AddRow(form, DetailsBox::tr("起始位置:"), QStringLiteral("position"),
         QString::number(r.position));
  AddRow(form, DetailsBox::tr("结束位置:"), QStringLiteral("endPosition"),
         QString::number(r.end_position));
  AddRow(form, DetailsBox::tr("字节数:"), QStringLiteral("byteSpan"),
         QString::number(r.end_position >= r.position ? r.ByteSpan() : 0));

  // The channels, one group each. A recording of the time grouping may hold many: beyond two they
  // scroll.
  constexpr size_t kUnscrolled = 2;
  if (r.channels.size() <= kUnscrolled) {
    for (const ChannelContent& c : r.channels) layout->addWidget(ChannelBox(c, this));
  } else {
    auto* area = new QScrollArea(this);
    area->setObjectName(QStringLiteral("channelsArea"));
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* channels = new QWidget(area);
    auto* column = new QVBoxLayout(channels);
    column->setContentsMargins(0, 0, 0, 0);
    for (const ChannelContent& c : r.channels) column->addWidget(ChannelBox(c, channels));
    area->setWidget(channels);
    channels->ensurePolished();  // sized in the fonts and style it is shown in
    int shown_height = 0;
    for (size_t i = 0; i < kUnscrolled; ++i) {
      shown_height += column->itemAt(static_cast<int>(i))->sizeHint().height() + column->spacing();
    }
    area->setMinimumSize(
        channels->sizeHint().width() + area->style()->pixelMetric(QStyle::PM_ScrollBarExtent),
        shown_height);
    layout->addWidget(area, 1);
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

}  // namespace korvane::gui
