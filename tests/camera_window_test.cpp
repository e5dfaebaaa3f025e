// SPDX-License-Identifier: GPL-3.0-or-later
// The list's camera grouping and the details box, driven as a person drives them: the menu item
// that switches between the two groupings of one scan, the channel column, saving the rows of the
// grouping shown, and the details of a row. Most scans are delivered through the window's own
// feed, as the worker delivers them; the last test scans the image of four real cameras.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDate>
#include <QDateEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QTableView>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>

#include "app/details_box.h"
#include "app/scan_feed.h"
#include "scan/save.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using gui::RecordingModel;
using test::Window;

constexpr int64_t kT0 = 1700000000;  // 2023-11-14 22:13:20
constexpr uint32_t kPayload = 64;

void RightClick(QWidget* widget, QPoint pos) {
  QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget->mapToGlobal(pos));
  QApplication::sendEvent(widget, &event);
}

QPoint RowCentre(QTableView* list, int row) {
  return list->visualRect(list->model()->index(row, RecordingModel::kStart)).center();
}

// The menu opened on a row (or, for row -1, below the rows), closed after choosing `choose`.
test::MenuSeen MenuOnRow(CKorvaneDlg& dlg, int row, const QString& choose = {}) {
  QTableView* list = test::List(dlg);
  const QPoint at = row >= 0 ? RowCentre(list, row) : QPoint(40, list->viewport()->height() - 5);
  return test::AnswerMenu([&] { RightClick(list->viewport(), at); }, choose);
}

QAction* CameraViewAction(CKorvaneDlg& dlg) {
  return dlg.findChild<QAction*>("cameraViewAction");
}

// Delivers a scan's news to the window as its worker does: rows of both groupings opened in
// order, closed in another, then the end; waits for the end box and answers it.
void DeliverScan(CKorvaneDlg& dlg, const std::vector<Recording>& time,
                 const std::vector<Recording>& camera) {
  bool ended = false;
  auto connection = QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ended = true; });
  {
    gui::FeedSink sink(dlg.Feed(), 0);  // the window's first job, none started yet
    (void)sink.OnScanStart(1 << 20);
    for (const Recording& r : time) (void)sink.OnRecordingOpened(r);
    for (const Recording& r : camera) (void)sink.OnCameraRecordingOpened(r);
    // Camera recordings close in any order: the last opened first.
    for (auto r = camera.rbegin(); r != camera.rend(); ++r) (void)sink.OnCameraRecordingClosed(*r);
    for (const Recording& r : time) (void)sink.OnRecordingClosed(r);
    ScanResult result;
    result.status = Status::Ok();
    result.range_bytes = result.scanned_bytes = 1 << 20;
    result.recordings = time.size();
    result.camera_recordings = camera.size();
    sink.Finish(result);
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, test::kWaitMs));
  QObject::disconnect(connection);
  ASSERT_EQ(test::AnswerBox().text, "scan end!");
}

// A channel's video frames, without the formats its frames would state.
ChannelContent Video(uint8_t channel, uint64_t frames, uint64_t key) {
  ChannelContent c;
  c.channel = channel;
  c.video_frames = frames;
  c.key_frames = key;
  return c;
}

// An image of two cameras' recordings, each frame whole and valid, with frames of an unknown
// type between them: the time grouping lists three recordings, the camera grouping two.
class CameraList : public ::testing::Test {
 protected:
  void SetUp() override {
    testimage::ImageBuilder image(1 << 20, testimage::Fill::kNoise);
    uint64_t p = 4096;
    auto run = [&](int type, uint8_t channel, int64_t t0, int count) {
      Recording r;
      r.position = p;
      r.start = t0;
      r.end = t0 + count - 1;
      r.frames = static_cast<uint64_t>(count);
      for (int i = 0; i < count; ++i) {
        testimage::FrameSpec f;
        f.position = p;
        f.packed_time = testimage::PackEpochSeconds(t0 + i);
        f.payload = kPayload;
        f.channel = channel;
        f.type = type;
        image.AddFrame(f);
        p += testimage::FrameLength(kPayload);
      }
      r.end_position = p;
      p += 5000;
      return r;
    };
    const Recording first = run(0xFD, 0, kT0, 5);
    const Recording unknown = run(0x01, 0, kT0 + 50, 3);
    const Recording second = run(0xFC, 1, kT0 + 100, 4);
    bytes_ = image.bytes();
    test::WriteFile(Image(), bytes_);

    time_ = {first, unknown, second};
    for (size_t i = 0; i < time_.size(); ++i) time_[i].index = i;
    time_[0].channels = {Video(0, 5, 5)};
    time_[0].valid_frames = time_[0].complete_frames = 5;
    time_[2].channels = {Video(1, 4, 0)};
    time_[2].valid_frames = time_[2].complete_frames = 4;
    for (const Recording* r : {&time_[0], &time_[2]}) {
      Recording c = *r;
      c.index = camera_.size();
      c.grouping = Grouping::kCamera;
      c.channel = c.channels.front().channel;
      camera_.push_back(c);
    }
  }

  std::string Image() const { return dir_.File("cameras.img"); }
  std::string Out() const { return dir_.File("out"); }
  std::string Bytes(const Recording& r) const {
    return std::string(bytes_.begin() + static_cast<std::ptrdiff_t>(r.position),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(r.end_position));
  }

  test::TempDir dir_;
  std::vector<uint8_t> bytes_;
  std::vector<Recording> time_, camera_;
};

TEST_F(CameraList, TheMenuItemSwitchesBetweenBothGroupingsOfOneScanAndShowsTheChannel) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  QTableView* list = test::List(dlg);
  QHeaderView* header = list->horizontalHeader();
  DeliverScan(dlg, time_, camera_);

  // At first the list is the time grouping, as it always was.
  const std::vector<std::string> time_rows = test::RowTexts(time_);
  EXPECT_EQ(w.ShownRows(), time_rows);
  EXPECT_EQ(header->count(), 4);
  const int third = list->contentsRect().width() / 3;
  test::MenuSeen menu = MenuOnRow(dlg, 1);
  EXPECT_EQ(menu.items, (QStringList{"保存", "导出视频", "生成报告", "选择全部", "取消选择", "",
                                     "详细信息", "按通道显示", "时间轴"}));
  ASSERT_NE(CameraViewAction(dlg), nullptr);
  EXPECT_TRUE(CameraViewAction(dlg)->isCheckable());
  EXPECT_FALSE(CameraViewAction(dlg)->isChecked());
  test::Rows(dlg).setData(test::Rows(dlg).index(2, 0), Qt::Checked, Qt::CheckStateRole);

  // Checked: the camera grouping of the same scan, with each row's channel after its name.
  MenuOnRow(dlg, 0, "按通道显示");
  EXPECT_TRUE(CameraViewAction(dlg)->isChecked());
  std::vector<std::string> camera_rows = test::RowTexts(camera_);
  camera_rows[0] += "|0";
  camera_rows[1] += "|1";
  EXPECT_EQ(w.ShownRows(), camera_rows);
  ASSERT_EQ(header->count(), 5);
  EXPECT_EQ(test::Rows(dlg).headerData(RecordingModel::kChannel, Qt::Horizontal, Qt::DisplayRole),
            "通道");
  EXPECT_EQ(header->visualIndex(RecordingModel::kChannel), 1);
  EXPECT_GE(header->sectionSize(RecordingModel::kChannel),
            list->fontMetrics().horizontalAdvance("通道"));
  EXPECT_EQ(header->sectionSize(RecordingModel::kPosition), 0);
  int shown_width = 0;
  for (int c = 0; c < header->count(); ++c) shown_width += header->sectionSize(c);
  EXPECT_LE(shown_width, list->contentsRect().width()) << "the columns fit without scrolling";
  EXPECT_GT(header->sectionSize(RecordingModel::kStart), third * 3 / 4);
  // Each grouping keeps its own check marks.
  EXPECT_FALSE(test::Rows(dlg).Rows()[1].checked);
  test::SelectAll(dlg);

  // Unchecked again: the time grouping's rows, columns and check marks as they were.
  EXPECT_EQ(MenuOnRow(dlg, 1, "按通道显示").items.size(), 9);
  EXPECT_FALSE(CameraViewAction(dlg)->isChecked());
  EXPECT_EQ(w.ShownRows(), time_rows);
  EXPECT_EQ(header->count(), 4);
  for (int c = RecordingModel::kName; c <= RecordingModel::kEnd; ++c) {
    EXPECT_EQ(header->sectionSize(c), third) << c;
    EXPECT_EQ(header->visualIndex(c), c);
  }
  EXPECT_EQ(header->sectionSize(RecordingModel::kPosition), 0);
  std::vector<bool> checks;
  for (const auto& row : test::Rows(dlg).Rows()) checks.push_back(row.checked);
  EXPECT_EQ(checks, (std::vector<bool>{false, false, true}));
  for (const auto& row : test::Rows(dlg).Rows(Grouping::kCamera)) EXPECT_TRUE(row.checked);
}

TEST_F(CameraList, ACameraViewWithoutRowsStillOffersTheWayBack) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  DeliverScan(dlg, time_, {});  // no valid frames: no camera recordings
  CameraViewAction(dlg)->trigger();
  EXPECT_EQ(test::Rows(dlg).rowCount(), 0);
  const test::MenuSeen menu = MenuOnRow(dlg, -1, "按通道显示");
  EXPECT_EQ(menu.items, QStringList{"按通道显示"});
  EXPECT_EQ(w.ShownRows(), test::RowTexts(time_));
  // In the time grouping a click off the rows still opens nothing.
  EXPECT_TRUE(MenuOnRow(dlg, -1).items.isEmpty());
}

TEST_F(CameraList, SaveSavesTheCheckedRowsOfTheGroupingShown) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  DeliverScan(dlg, time_, camera_);
  test::Rows(dlg).SetSource(Image());  // what the delivered scan was made from
  fs::create_directory(Out());
  w.ui().savePathEdit->setText(QString::fromStdString(Out()));
  // Checked in the time grouping, then hidden by the switch: not saved.
  test::Rows(dlg).setData(test::Rows(dlg).index(0, 0), Qt::Checked, Qt::CheckStateRole);
  MenuOnRow(dlg, 0, "按通道显示");
  test::Rows(dlg).setData(test::Rows(dlg).index(1, 0), Qt::Checked, Qt::CheckStateRole);

  const test::BoxSeen end = w.SaveToEnd();
  EXPECT_TRUE(end.text.startsWith("保存完成!\n已保存 1 个文件")) << end.text.toStdString();
  EXPECT_EQ(test::SavedFiles(Out()), (std::vector<std::string>{"1.dav", "recordings.csv"}));
  // The save's case log names the grouping the rows were saved from, and the camera's file.
  const std::vector<std::string> logs = test::CaseLogNames(Out());
  ASSERT_EQ(logs.size(), 1u);
  const QJsonObject log = test::ReadCaseLog(Out() + "/" + logs[0]);
  EXPECT_EQ(log["grouping"].toString(), "camera");
  const QJsonObject saved = log["files"].toArray()[0].toObject();
  EXPECT_EQ(fs::path(saved["path"].toString().toStdString()), fs::path(Out()) / "1.dav");
  EXPECT_EQ(saved["channel"].toInt(-1), static_cast<int>(camera_[1].channel.value_or(99)));
  EXPECT_EQ(saved["sha256"].toString().toStdString(), test::Sha256Of(Out() + "/1.dav"));
  // Camera 1's recording, not the time grouping's 1.dav (the frames of no known type).
  EXPECT_EQ(test::Slurp(Out() + "/1.dav"), Bytes(camera_[1]));
  const Recording& r = camera_[1];
  const std::string csv = test::Slurp(Out() + "/recordings.csv");
  EXPECT_EQ(csv.rfind(std::string(kManifestHeader) + "1.dav," + r.StartText() + "," + r.EndText() +
                          "," + Image() + "," + std::to_string(r.position) + "," +
                          std::to_string(r.end_position) + ",",
                      0),
            0u)
      << csv;
}

// The value a details box shows under `name`, inside `in` (the box, or a channel's group).
QString Shown(QWidget* in, const char* name) {
  auto* label = in->findChild<QLabel*>(QString::fromLatin1(name));
  if (label == nullptr) return "<missing>";
  EXPECT_TRUE(label->textInteractionFlags() & Qt::TextSelectableByMouse) << name;
  return label->text();
}

gui::DetailsBox* OpenDetails(CKorvaneDlg& dlg) {
  gui::DetailsBox* box = nullptr;
  const bool opened = QTest::qWaitFor(
      [&] {
        box = dlg.findChild<gui::DetailsBox*>("recordingDetails");
        return box && box->isVisible();
      },
      test::kWaitMs);
  return opened ? box : nullptr;
}

TEST_F(CameraList, TheDetailsBoxShowsWhatTheRowHolds) {
  // A time grouping row of two channels: one with its formats stated, one without.
  ChannelContent stated = Video(0, 5, 2);
  stated.audio_frames = 7;
  stated.auxiliary_frames = 1;
  stated.codec = VideoCodec::kH265;
  stated.width = 192;
  stated.height = 128;
  stated.fps = 15;
  time_[0].channels = {stated, Video(3, 1, 0)};
  time_[0].valid_frames = 9;
  time_[0].complete_frames = 8;
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  DeliverScan(dlg, time_, camera_);
  QTableView* list = test::List(dlg);

  // A double click on a row, as the platform delivers it: press, release, double click,
  // release.
  const QPoint at = RowCentre(list, 0);
  QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at);
  gui::DetailsBox* box = OpenDetails(dlg);
  ASSERT_NE(box, nullptr);
  const Recording& r = time_[0];
  EXPECT_EQ(Shown(box, "name"), "0.dav");
  EXPECT_EQ(Shown(box, "start"), QString::fromStdString(r.StartText()));
  EXPECT_EQ(Shown(box, "end"), QString::fromStdString(r.EndText()));
  EXPECT_EQ(Shown(box, "channels"), "0, 3");
  EXPECT_EQ(Shown(box, "frames"), "5");
  EXPECT_EQ(Shown(box, "validFrames"), "9");
  EXPECT_EQ(Shown(box, "completeFrames"), "8");
  EXPECT_EQ(Shown(box, "position"), QString::number(r.position));
  EXPECT_EQ(Shown(box, "endPosition"), QString::number(r.end_position));
  EXPECT_EQ(Shown(box, "byteSpan"), QString::number(r.end_position - r.position));
  auto* zero = box->findChild<QGroupBox*>("channelBox0");
  auto* three = box->findChild<QGroupBox*>("channelBox3");
  ASSERT_NE(zero, nullptr);
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(Shown(zero, "codec"), "H.265");
  EXPECT_EQ(Shown(zero, "resolution"), "192×128");
  EXPECT_EQ(Shown(zero, "fps"), "15");
  EXPECT_EQ(Shown(zero, "videoFrames"), "5");
  EXPECT_EQ(Shown(zero, "keyFrames"), "2");
  EXPECT_EQ(Shown(zero, "audioFrames"), "7");
  EXPECT_EQ(Shown(zero, "auxiliaryFrames"), "1");
  EXPECT_EQ(Shown(three, "codec"), "未知");
  EXPECT_EQ(Shown(three, "resolution"), "未知");
  EXPECT_EQ(Shown(three, "fps"), "未知");
  EXPECT_EQ(Shown(three, "videoFrames"), "1");
  EXPECT_NE(zero->findChild<QLabel*>("picture"), nullptr) << "the place for its picture";
  box->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.findChild<gui::DetailsBox*>() == nullptr; }));

  // The menu item, on a row of the camera grouping: that row's recording.
  CameraViewAction(dlg)->trigger();
  MenuOnRow(dlg, 1, "详细信息");
  box = OpenDetails(dlg);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Shown(box, "name"), "1.dav");
  EXPECT_EQ(Shown(box, "channels"), "1");
  EXPECT_EQ(Shown(box, "position"), QString::number(camera_[1].position));
  EXPECT_NE(box->findChild<QGroupBox*>("channelBox1"), nullptr);
  EXPECT_EQ(box->findChild<QGroupBox*>("channelBox0"), nullptr);
}

// The image of four cameras, scanned from the window: the camera grouping lists one row per
// camera run with what it holds, and a saved row is that camera's whole frames alone.
TEST(CameraImage, TheWindowListsEachCameraRunAndSavesItAsThatCamerasFrames) {
  std::string error;
  const auto cameras = test::WriteCamerasImage(&error);
  ASSERT_TRUE(cameras) << error;
  const testimage::CameraImage& image = cameras->image;
  const std::string &source = cameras->source, &out = cameras->out;

  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(source, out);
  ASSERT_EQ(w.ScanToEnd().text, "scan end!");
  EXPECT_EQ(w.ShownRows(), test::RowTexts(test::ReferenceScan(image.bytes, 0, image.bytes.size())))
      << "the time grouping, as it always was";

  MenuOnRow(dlg, 0, "按通道显示");
  std::vector<std::string> expected;
  for (size_t i = 0; i < image.runs.size(); ++i) {
    const testimage::CameraRun& run = image.runs[i];
    Recording r;
    r.index = i;
    r.start = run.start;
    r.end = run.end;
    r.position = run.position;
    expected.push_back(test::RowTexts({r})[0] + "|" + std::to_string(run.channel));
  }
  ASSERT_EQ(w.ShownRows(), expected);

  // The details of each run.
  for (size_t i = 0; i < image.runs.size(); ++i) {
    const testimage::CameraRun& run = image.runs[i];
    const testimage::CameraClip& camera = testimage::CameraClips()[run.channel];
    SCOPED_TRACE(i);
    MenuOnRow(dlg, static_cast<int>(i), "详细信息");
    gui::DetailsBox* box = OpenDetails(dlg);
    ASSERT_NE(box, nullptr);
    const uint64_t frames = run.video_frames + run.audio_frames + run.auxiliary_frames;
    EXPECT_EQ(Shown(box, "channels"), QString::number(run.channel));
    EXPECT_EQ(Shown(box, "frames"), QString::number(frames));
    EXPECT_EQ(Shown(box, "validFrames"), QString::number(frames));
    EXPECT_EQ(Shown(box, "completeFrames"), QString::number(run.complete_frames));
    EXPECT_EQ(Shown(box, "position"), QString::number(run.position));
    EXPECT_EQ(Shown(box, "endPosition"), QString::number(run.end_position));
    EXPECT_EQ(Shown(box, "byteSpan"), QString::number(run.end_position - run.position));
    auto* channel = box->findChild<QGroupBox*>(QString("channelBox%1").arg(run.channel));
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(Shown(channel, "codec"), gui::CodecText(camera.codec));
    EXPECT_EQ(Shown(channel, "resolution"), QString("%1×%2").arg(camera.width).arg(camera.height));
    EXPECT_EQ(Shown(channel, "fps"), QString::number(camera.fps));
    EXPECT_EQ(Shown(channel, "videoFrames"), QString::number(run.video_frames));
    EXPECT_EQ(Shown(channel, "keyFrames"), QString::number(run.key_frames));
    EXPECT_EQ(Shown(channel, "audioFrames"), QString::number(run.audio_frames));
    EXPECT_EQ(Shown(channel, "auxiliaryFrames"), QString::number(run.auxiliary_frames));
#ifdef KORVANE_HAVE_VIDEO
    // The picture of the camera's first key frame, decoded beside the window, at its own size.
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->PicturesDone(); }, test::kWaitMs));
    auto* picture = channel->findChild<QLabel*>("picture");
    ASSERT_NE(picture, nullptr);
    EXPECT_TRUE(picture->isVisible());
    EXPECT_EQ(picture->pixmap().size(), QSize(camera.width, camera.height))
        << picture->text().toStdString();
#endif
    // KORVANE_DETAILS_SHOT=FILE.png saves a picture of the first run's box.
    if (const QString shot = qEnvironmentVariable("KORVANE_DETAILS_SHOT");
        i == 0 && !shot.isEmpty()) {
      EXPECT_TRUE(box->grab().save(shot)) << shot.toStdString();
    }
    box->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.findChild<gui::DetailsBox*>() == nullptr; }));
  }

  // Every run saved: each file holds its camera's complete frames, each whole, in position order.
  test::SelectAll(dlg);
  const test::BoxSeen end = w.SaveToEnd();
  EXPECT_TRUE(end.text.startsWith(QString("保存完成!\n已保存 %1 个文件").arg(image.runs.size())))
      << end.text.toStdString();
  for (size_t i = 0; i < image.runs.size(); ++i) {
    const testimage::CameraRun& run = image.runs[i];
    std::string frames;
    for (const testimage::CameraFrame& f : image.frames) {
      if (f.channel == run.channel && f.position >= run.position && f.position < run.end_position &&
          f.complete) {
        frames.append(image.bytes.begin() + static_cast<std::ptrdiff_t>(f.position),
                      image.bytes.begin() + static_cast<std::ptrdiff_t>(f.position + f.length));
      }
    }
    EXPECT_EQ(test::Slurp(out + "/" + std::to_string(i) + ".dav"), frames) << i;
  }
}

#ifdef KORVANE_HAVE_VIDEO
// A channel whose frames in the row's span hold no key frame says so in the place of its picture;
// a box closed while its pictures are being decoded goes at once and safely.
TEST(CameraImage, TheDetailsBoxSaysWhenAChannelHasNoKeyFrameAndClosesWhileDecoding) {
  std::vector<testimage::VideoClip> clips;
  std::string error;
  ASSERT_TRUE(testimage::LoadCameraClips(KORVANE_TEST_DATA_DIR, &clips, &error)) << error;
  const testimage::CameraImage image = testimage::BuildCameraImage(clips);
  test::TempDir dir;
  const std::string source = dir.File("cameras.img");
  test::WriteFile(source, image.bytes);
  const testimage::CameraRun& run = image.runs[0];

  // A span of the run's channel from its second video frame on, up to its next key frame: video,
  // but no key frame to start decoding at.
  Recording r;
  bool after_key = false;
  for (const testimage::CameraFrame& f : image.frames) {
    if (f.channel != run.channel || f.position < run.position) continue;
    if (f.type == static_cast<uint8_t>(FrameType::kKeyVideo)) {
      if (after_key && r.position != 0) break;
      after_key = true;
    } else if (after_key && f.type == static_cast<uint8_t>(FrameType::kVideo)) {
      if (r.position == 0) r.position = f.position;
      r.end_position = f.position + f.length;
    }
  }
  ASSERT_LT(r.position, r.end_position);
  ChannelContent c;
  c.channel = run.channel;
  c.video_frames = 1;
  r.channels = {c};
  {
    gui::DetailsBox box(r, true, nullptr, source);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box.PicturesDone(); }, test::kWaitMs));
    auto* picture = box.findChild<QLabel*>("picture");
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->text(), "无可解码的关键帧");
    EXPECT_TRUE(picture->pixmap().isNull());
  }
  // Boxes over the whole image, closed before their pictures can have arrived.
  Recording whole = r;
  whole.end_position = image.bytes.size();
  for (int i = 0; i < 20; ++i) {
    auto* box = new gui::DetailsBox(whole, true, nullptr, source);
    box->show();
    if (i % 2) QCoreApplication::processEvents();
    delete box;
  }
  QTest::qWait(50);  // nothing arrives for a box that is gone
}
#endif

#ifdef KORVANE_HAVE_VIDEO
std::string Output(const std::string& command) {
  return test::Shell(command);
}

// The files in a folder, by name.
std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Exports the checked rows from the menu item and answers the end box.
test::BoxSeen ExportToEnd(CKorvaneDlg& dlg, const std::function<void()>& meanwhile = {}) {
  bool ended = false;
  auto connection = QObject::connect(&dlg, &CKorvaneDlg::ExportEnded, [&] { ended = true; });
  QAction* action = dlg.findChild<QAction*>("exportVideoAction");
  EXPECT_NE(action, nullptr);
  if (action == nullptr) return {};
  EXPECT_TRUE(action->isEnabled());
  action->trigger();
  if (meanwhile) meanwhile();
  const bool in_time = QTest::qWaitFor([&] { return ended; }, 10 * test::kWaitMs);
  QObject::disconnect(connection);
  return in_time ? test::AnswerBox() : test::BoxSeen{};
}

// 导出视频 on the camera rows of the four cameras' image: one MP4 per row, of that camera's
// complete pictures from its first key frame, at its size; a stopped export leaves only whole
// files, each listed in exports.csv.
TEST(CameraImage, ExportVideoWritesEachCheckedCameraRowAsAnMp4AndAStopLeavesNoPartialFile) {
  if (Output("command -v ffprobe").empty()) GTEST_SKIP() << "ffprobe is not installed";
  std::string error;
  const auto cameras = test::WriteCamerasImage(&error);
  ASSERT_TRUE(cameras) << error;
  const testimage::CameraImage& image = cameras->image;
  const std::string &source = cameras->source, &out = cameras->out;

  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(source, out);
  ASSERT_EQ(w.ScanToEnd().text, "scan end!");
  EXPECT_TRUE(MenuOnRow(dlg, 0).items.contains("导出视频"));
  MenuOnRow(dlg, 0, "按通道显示");
  test::SelectAll(dlg);
  const test::BoxSeen end = ExportToEnd(dlg);
  EXPECT_TRUE(end.text.startsWith(QString("导出完成!\n已导出 %1 个文件").arg(image.runs.size())))
      << end.text.toStdString();
  EXPECT_EQ(end.icon, QMessageBox::Information) << end.text.toStdString();
  for (size_t i = 0; i < image.runs.size(); ++i) {
    const testimage::CameraRun& run = image.runs[i];
    const testimage::CameraClip& camera = testimage::CameraClips()[run.channel];
    SCOPED_TRACE(i);
    // The camera's complete video frames of the run, from its first key frame on.
    uint64_t frames = 0;
    bool keyed = false;
    for (const testimage::CameraFrame& f : image.frames) {
      if (f.channel != run.channel || f.position < run.position || f.position >= run.end_position ||
          !f.complete) {
        continue;
      }
      keyed = keyed || f.type == static_cast<uint8_t>(FrameType::kKeyVideo);
      frames += keyed && (f.type == static_cast<uint8_t>(FrameType::kKeyVideo) ||
                          f.type == static_cast<uint8_t>(FrameType::kVideo));
    }
    const std::string file = out + "/" + std::to_string(i) + ".mp4";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_TRUE(end.text.contains(QString("\n%1.mp4").arg(i))) << "the end box lists it";
    EXPECT_EQ(Output("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                     "stream=width,height,nb_read_packets -of csv=p=0 '" +
                     file + "' 2>&1"),
              std::to_string(camera.width) + "," + std::to_string(camera.height) + "," +
                  std::to_string(frames) + "\n");
  }
  EXPECT_EQ(FilesIn(out).count("exports.csv"), 1u);
  // The export's case log names each file with its SHA-256 and the listing, as written.
  const std::vector<std::string> logs = test::CaseLogNames(out);
  ASSERT_EQ(logs.size(), 2u) << "the scan's and the export's";
  const std::string& export_log = logs[logs[0].find("-export") != std::string::npos ? 0 : 1];
  ASSERT_NE(export_log.find("-export"), std::string::npos) << export_log;
  const QJsonObject log = test::ReadCaseLog(out + "/" + export_log);
  EXPECT_EQ(log["exit_status"].toInt(-1), 0);
  std::set<std::string> logged;
  for (const QJsonValue& v : log["files"].toArray()) {
    const std::string path = v.toObject()["path"].toString().toStdString();
    logged.insert(fs::path(path).filename().string());
    EXPECT_EQ(v.toObject()["sha256"].toString().toStdString(), test::Sha256Of(path)) << path;
    EXPECT_EQ(v.toObject()["bytes"].toInteger(-1), static_cast<qint64>(fs::file_size(path)));
  }
  std::set<std::string> written;
  for (const std::string& name : test::SavedFiles(out)) written.insert(name);
  EXPECT_EQ(logged, written);

  // Stopped at once, while the worker finds the rows' frames or writes the first files: whatever
  // is left is whole and listed.
  const std::string stopped = cameras->dir.File("stopped");
  fs::create_directory(stopped);
  w.FillForImage(source, stopped);
  const test::BoxSeen stop_end = ExportToEnd(dlg, [&] { test::Stop(dlg); });
  EXPECT_TRUE(stop_end.text.startsWith("导出已停止!") || stop_end.text.startsWith("导出完成!"))
      << stop_end.text.toStdString();
  if (stop_end.text.startsWith("导出已停止!")) {
    EXPECT_EQ(stop_end.icon, QMessageBox::Warning);
  }
  const std::string listed =
      fs::exists(stopped + "/exports.csv") ? test::Slurp(stopped + "/exports.csv") : "";
  for (const std::string& name : test::SavedFiles(stopped)) {
    if (name == "exports.csv") continue;
    EXPECT_NE(listed.find("\n" + name + ","), std::string::npos) << name << " is not whole";
  }
}
#endif

// A camera row is saved as its channel's frames inside the date window of the scan that found it:
// a frame of that channel inside its span but of another day is left out, as the scan left it.
TEST(CameraImage, ACameraRowIsSavedWithinTheDateWindowOfItsScan) {
  constexpr int64_t kMidnight = 1700006400;  // 2023-11-15 00:00:00
  testimage::ImageBuilder builder(1 << 20, testimage::Fill::kNoise);
  std::string inside;
  uint64_t p = 4096;
  for (const int64_t t : {kMidnight, kMidnight - 1, kMidnight + 1}) {
    testimage::FrameSpec f;
    f.position = p;
    f.packed_time = testimage::PackEpochSeconds(t);
    f.payload = kPayload;
    builder.AddFrame(f);
    const uint64_t length = testimage::FrameLength(kPayload);
    if (t >= kMidnight) {
      inside.append(builder.bytes().begin() + static_cast<std::ptrdiff_t>(p),
                    builder.bytes().begin() + static_cast<std::ptrdiff_t>(p + length));
    }
    p += length;
  }
  test::TempDir dir;
  const std::string source = dir.File("midnight.img"), out = dir.File("out");
  test::WriteFile(source, builder.bytes());
  fs::create_directory(out);

  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(source, out);
  test::StartDate(dlg)->setDate(QDate(2023, 11, 15));
  test::EndDate(dlg)->setDate(QDate(2023, 11, 16));
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  ASSERT_EQ(w.ScanToEnd().text, "scan end!");
  MenuOnRow(dlg, 0, "按通道显示");
  ASSERT_EQ(test::Rows(dlg).rowCount(), 1);
  test::SelectAll(dlg);
  EXPECT_TRUE(w.SaveToEnd().text.startsWith("保存完成!\n已保存 1 个文件"));
  EXPECT_EQ(test::Slurp(out + "/0.dav"), inside);
}

}  // namespace
}  // namespace korvane
