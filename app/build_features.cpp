// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/build_features.h"

#include <QAction>
#include <QMenu>

namespace korvane::gui {

QString UnavailableReason(Feature feature) {
  switch (feature) {
    case Feature::kVideo:
#ifdef KORVANE_HAVE_VIDEO
      return {};
#else
      return QStringLiteral("此版本不能导出视频和图片: 构建时未找到 FFmpeg 的库");
#endif
    case Feature::kEwf:
#ifdef KORVANE_HAVE_EWF
      return {};
#else
      return QStringLiteral("此版本不能读取 E01 镜像: 构建时未找到 libewf");
#endif
    case Feature::kReport:
#ifdef KORVANE_HAVE_REPORT
      return {};
#else
      return QStringLiteral("此版本不能生成报告: 构建时未找到 libxml2");
#endif
  }
  return {};
}

void OfferIfBuilt(QAction* action, Feature feature) {
  const QString why = UnavailableReason(feature);
  if (action == nullptr || why.isEmpty()) return;
  action->setEnabled(false);
  action->setToolTip(why);
  action->setStatusTip(why);
  for (QObject* holder : action->associatedObjects()) {
    if (auto* menu = qobject_cast<QMenu*>(holder)) menu->setToolTipsVisible(true);
  }
}

}  // namespace korvane::gui
