// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/details_box.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScrollArea>
#include <QStringList>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#ifdef KORVANE_HAVE_VIDEO
#include "scan/source_reader.h"
#include "video/frames.h"
#include "video/thumbnail.h"
#endif

namespace korvane::gui {

namespace {

// The channels whose picture the box shows: those with video, of the row's own channel when it is
// one camera's.
[[maybe_unused]] bool Pictured(const Recording& r, const ChannelContent& c) {
  return c.video_frames > 0 && (!r.channel || *r.channel == c.channel);
}

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

DetailsBox::DetailsBox(const Recording& r, bool closed, QWidget* parent, const std::string& source,
                       std::optional<int64_t> clock_offset)
    : QDialog(parent) {
  setObjectName(QStringLiteral("recordingDetails"));
  setWindowTitle(DetailsBox::tr("详细信息 - %1").arg(QString::fromStdString(r.Name())));
  auto* layout = new QVBoxLayout(this);

  auto* form = new QFormLayout;
  layout->addLayout(form);
  AddRow(form, DetailsBox::tr("文件名:"), QStringLiteral("name"), QString::fromStdString(r.Name()));
  const int64_t offset = clock_offset.value_or(0);
  AddRow(form, DetailsBox::tr("开始时间:"), QStringLiteral("start"),
         QString::fromStdString(CorrectedText(r.start, offset)));
  AddRow(form, DetailsBox::tr("结束时间:"), QStringLiteral("end"),
         closed ? QString::fromStdString(CorrectedText(r.end, offset)) : QString());
  if (clock_offset) {
    AddRow(form, DetailsBox::tr("时钟偏差:"), QStringLiteral("clockOffset"),
           QString::fromStdString(FormatClockOffset(offset)));
    AddRow(form, DetailsBox::tr("记录仪开始时间:"), QStringLiteral("recorderStart"),
           QString::fromStdString(r.StartText()));
    AddRow(form, DetailsBox::tr("记录仪结束时间:"), QStringLiteral("recorderEnd"),
           closed ? QString::fromStdString(r.EndText()) : QString());
  }
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

#ifdef KORVANE_HAVE_VIDEO
  for (const ChannelContent& c : r.channels) pictures_left_ += Pictured(r, c);
  if (!source.empty() && pictures_left_ > 0 && r.end_position > r.position) {
    decoder_ = std::thread(&DetailsBox::DecodePictures, this, source, r);
  } else {
    pictures_left_ = 0;
  }
#else
  (void)source;
#endif
}

DetailsBox::~DetailsBox() {
  stop_.store(1);
  // Pictures it posted and that were not taken yet go with the box: the thread only posts to it.
  if (decoder_.joinable()) decoder_.join();
}

void DetailsBox::ShowPicture(uint8_t channel, const QImage& image, int code, const QString& why) {
  auto* group = findChild<QGroupBox*>(QStringLiteral("channelBox%1").arg(channel));
  QLabel* picture = group ? group->findChild<QLabel*>(QStringLiteral("picture")) : nullptr;
  if (picture != nullptr) {
    if (!image.isNull()) {
      picture->setPixmap(QPixmap::fromImage(image));
    } else if (static_cast<ErrorCode>(code) == ErrorCode::kInternal) {
      picture->setText(tr("无可解码的关键帧"));
      picture->setToolTip(why);
    } else {
      picture->setText(tr("无法读取此通道的帧: %1").arg(why));
    }
    picture->show();
  }
  if (pictures_left_ > 0 && --pictures_left_ == 0) emit PicturesShown();
}

// On the decoder thread. Each channel's outcome is posted to the box, whose destructor waits for
// this thread: the box is alive whenever something is posted to it.
void DetailsBox::DecodePictures(std::string source, Recording r) {
#ifdef KORVANE_HAVE_VIDEO
  auto post = [this](uint8_t channel, QImage image, ErrorCode code, std::string why) {
    QMetaObject::invokeMethod(
        this,
        [this, channel, image = std::move(image), code, why = QString::fromStdString(why)] {
          ShowPicture(channel, image, static_cast<int>(code), why);
        },
        Qt::QueuedConnection);
  };
  std::vector<uint8_t> wanted;
  for (const ChannelContent& c : r.channels) {
    if (Pictured(r, c)) wanted.push_back(c.channel);
  }
  auto fail_all = [&](const Status& status) {
    if (status.code() == ErrorCode::kStopped) return;
    for (uint8_t channel : wanted) post(channel, QImage(), status.code(), status.message());
  };
  Result<std::unique_ptr<SourceReader>> reader = SourceReader::Open(source);
  if (!reader.ok()) return fail_all(reader.status());
  Result<std::vector<video::ChannelFrames>> found =
      video::FindChannelFrames(**reader, r.position, r.end_position, stop_);
  if (!found.ok()) return fail_all(found.status());
  for (uint8_t channel : wanted) {
    if (stop_.load()) return;
    auto frames = std::find_if(found->begin(), found->end(),
                               [&](const video::ChannelFrames& c) { return c.channel == channel; });
    if (frames == found->end() || frames->key_frames == 0) {
      post(channel, QImage(), ErrorCode::kInternal, "no key frame");
      continue;
    }
    Result<video::RgbImage> image =
        video::DecodeFirstKeyFrame(**reader, channel, frames->frames, stop_);
    if (!image.ok()) {
      if (image.status().code() == ErrorCode::kStopped) return;
      post(channel, QImage(), image.status().code(), image.status().message());
      continue;
    }
    QImage picture(image->rgb.data(), image->width, image->height, image->width * 3,
                   QImage::Format_RGB888);
    post(channel, picture.copy(), ErrorCode::kOk, {});
  }
#else
  (void)source, (void)r;
#endif
}

}  // namespace korvane::gui
