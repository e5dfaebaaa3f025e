// SPDX-License-Identifier: GPL-3.0-or-later
// The raw drives the window offers as scan sources.
#pragma once

#include <string>
#include <vector>

namespace korvane::gui {

// The drive list, in the order shown. On Windows the seven fixed entries "\\.\PhysicalDrive0" to
// "\\.\PhysicalDrive6", whatever exists. Elsewhere the whole-disk block devices present now.
std::vector<std::string> PhysicalDriveList();

#ifndef _WIN32
// The whole disks named in a /sys/block directory, as paths under `dev` that exist: RAM disks
// (ram*, zram*) and loop devices with nothing attached are left out; a '!' in a name stands for
// a '/' below `dev`. Sorted with runs of digits compared as numbers (sda, sdb, ..., loop2, loop10).
std::vector<std::string> BlockDeviceList(const std::string& sys_block, const std::string& dev);
#endif

}  // namespace korvane::gui
