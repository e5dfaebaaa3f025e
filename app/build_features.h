// SPDX-License-Identifier: GPL-3.0-or-later
// Parts of the window that need libraries a build may lack: video export and pictures need
// FFmpeg's libraries, E01 images libewf, the report libxml2 (none is built for Windows by Debian).
// A build without one still offers its menu items, disabled, with a tooltip saying why.
#pragma once

#include <QString>

class QAction;

namespace korvane::gui {

enum class Feature { kVideo, kEwf, kReport };

// Empty when this build has the feature; otherwise why it does not.
QString UnavailableReason(Feature feature);

// Disables action, its tooltip saying why, when this build lacks feature (and shows tooltips in
// the menus that hold it). Leaves it alone otherwise.
void OfferIfBuilt(QAction* action, Feature feature);

}  // namespace korvane::gui
