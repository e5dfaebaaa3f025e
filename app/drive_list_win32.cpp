// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/drive_list.h"

namespace korvane::gui {

std::vector<std::string> PhysicalDriveList() {
  std::vector<std::string> drives;
  for (int n = 0; n < 7; ++n) drives.push_back("\\\\.\\PhysicalDrive" + std::to_string(n));
  return drives;
}

}  // namespace korvane::gui
