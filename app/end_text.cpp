// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/end_text.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <climits>
#include <cstdint>

#include "app/scan_form.h"

namespace korvane::gui {

namespace {

// A save's end box lists at most this many failed files.
constexpr size_t kFailuresListed = 10;

// The end boxes' words, translated in this context.
class EndText {
  Q_DECLARE_TR_FUNCTIONS(EndText)
};

// A count as tr() takes it, for the singular or plural of its translation.
int Count(uint64_t n) {
  return static_cast<int>(std::min<uint64_t>(n, INT_MAX));
}

}  // namespace

EndMessage ScanEndMessage(const ScanResult& result) {
  EndMessage end;
  if (result.Ran()) {
    end.text = QStringLiteral("scan end!");
    if (result.unreadable_bytes > 0) {
      end.icon = QMessageBox::Warning;
      // Why: the system's reason for a failed read, and a source that shrank during the scan.
      QString why = QString::fromStdString(result.read_error);
      if (result.shrunk_to) {
        const QString shrank =
            QStringLiteral("the source shrank to %1 bytes").arg(*result.shrunk_to);
        why = why.isEmpty() ? shrank : why + QStringLiteral("; ") + shrank;
      }
      end.text +=
          why.isEmpty()
              ? QStringLiteral("\n%1 bytes could not be read; they were scanned as zeros.")
                    .arg(result.unreadable_bytes)
              : QStringLiteral("\n%1 bytes could not be read (%2); they were scanned as zeros.")
                    .arg(result.unreadable_bytes)
                    .arg(why);
    }
  } else {
    end.icon = QMessageBox::Critical;
    end.text = (result.status.code() == ErrorCode::kOpenFailed
                    ? QStringLiteral("cannot open the source:\n")
                    : QStringLiteral("scan failed:\n")) +
               QString::fromStdString(result.status.message());
  }
  return end;
}

EndMessage SaveEndMessage(const SaveResult& result, size_t asked) {
  EndMessage end;
  if (!result.Ran() && result.saved_files > 0) {
    // It failed part way: the files saved before the failure stand.
    end.icon = QMessageBox::Critical;
    end.text =
        EndText::tr("保存失败!") + QStringLiteral("\n") +
        EndText::tr("已保存 %n 个文件, 共 %1 字节, 保存到:\n%2", nullptr, Count(result.saved_files))
            .arg(result.saved_bytes)
            .arg(PathText(result.folder)) +
        QStringLiteral("\n\n") + PathText(result.status.message());
    return end;
  }
  if (!result.Ran()) {
    end.icon = QMessageBox::Critical;
    end.text = (result.status.code() == ErrorCode::kOpenFailed
                    ? EndText::tr("无法打开源, 未保存任何文件:")
                    : EndText::tr("保存失败, 未保存任何文件:")) +
               QStringLiteral("\n") + PathText(result.status.message());
    return end;
  }
  if (!result.AllSaved()) end.icon = QMessageBox::Warning;
  QString& text = end.text;
  text = result.Stopped() ? EndText::tr("保存已停止!") : EndText::tr("保存完成!");
  text += QStringLiteral("\n") + EndText::tr("已保存 %n 个文件, 共 %1 字节, 保存到:\n%2", nullptr,
                                             Count(result.saved_files))
                                     .arg(result.saved_bytes)
                                     .arg(PathText(result.folder));
  if (result.unreadable_bytes > 0) {
    text +=
        QStringLiteral("\n") + EndText::tr("其中 %1 字节无法读取, 已用零代替 (见 recordings.csv)。")
                                   .arg(result.unreadable_bytes);
  }
  if (result.failed_files > 0) {
    text += QStringLiteral("\n\n") +
            EndText::tr("%n 个文件保存失败:", nullptr, Count(result.failed_files));
    size_t listed = 0;
    for (const SavedFile& f : result.files) {
      if (f.outcome == FileOutcome::kSaved) continue;
      if (listed++ == kFailuresListed) {
        text += QStringLiteral("\n...");
        break;
      }
      text += QStringLiteral("\n%1: %2")
                  .arg(QString::fromStdString(f.recording.Name()),
                       f.outcome == FileOutcome::kStopped ? EndText::tr("已停止, 未保存")
                                                          : PathText(f.error));
    }
  }
  if (asked > result.files.size()) {
    text += QStringLiteral("\n") +
            EndText::tr("%n 个文件因停止而未保存。", nullptr, Count(asked - result.files.size()));
  }
  if (!result.manifest_error.empty()) {
    text += QStringLiteral("\n\n") + PathText(result.manifest_error);
  }
  return end;
}

EndMessage ExportEndMessage(const ExportFinished& result) {
  EndMessage end;
  if (!result.Ran()) {
    end.icon = QMessageBox::Critical;
    end.text = (result.status.code() == ErrorCode::kOpenFailed
                    ? EndText::tr("无法打开源, 未导出任何视频:")
                    : EndText::tr("导出视频失败, 未导出任何文件:")) +
               QStringLiteral("\n") + PathText(result.status.message());
    return end;
  }
  QStringList written, failed, empty;
  for (const ExportedVideo& f : result.files) {
    const QString channel =
        EndText::tr("%1 通道 %2").arg(QString::fromStdString(f.recording)).arg(unsigned{f.channel});
    if (f.exported) {
      written << QString::fromStdString(f.file_name);
    } else if (f.no_key_frame) {
      empty << channel;
    } else {
      failed << QStringLiteral("%1: %2").arg(
          channel, f.stopped ? EndText::tr("已停止, 未导出") : PathText(f.error));
    }
  }
  auto list = [](const QStringList& lines) {
    QString text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
      if (i == static_cast<qsizetype>(kFailuresListed)) return text + QStringLiteral("\n...");
      text += QStringLiteral("\n") + lines[i];
    }
    return text;
  };
  const bool stopped = result.status.code() == ErrorCode::kStopped;
  if (stopped || !failed.isEmpty() || !result.manifest_error.empty()) {
    end.icon = QMessageBox::Warning;
  }
  QString& text = end.text;
  text = stopped ? EndText::tr("导出已停止!") : EndText::tr("导出完成!");
  text += QStringLiteral("\n") + EndText::tr("已导出 %1 个文件, 共 %2 字节, 导出到:\n%3")
                                     .arg(written.size())
                                     .arg(result.exported_bytes)
                                     .arg(PathText(result.folder));
  text += list(written);
  if (!failed.isEmpty()) {
    text += QStringLiteral("\n\n") + EndText::tr("%1 个文件导出失败:").arg(failed.size()) +
            list(failed);
  }
  if (!empty.isEmpty()) {
    text +=
        QStringLiteral("\n\n") + EndText::tr("没有可导出的视频 (无完整的关键帧):") + list(empty);
  }
  if (!result.manifest_error.empty()) {
    text += QStringLiteral("\n\n") + PathText(result.manifest_error);
  }
  return end;
}

}  // namespace korvane::gui
