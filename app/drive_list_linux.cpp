// SPDX-License-Identifier: GPL-3.0-or-later
// Drive list from sysfs: every entry of /sys/block is a whole disk (partitions live below them).
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "app/drive_list.h"

namespace korvane::gui {
namespace {

namespace fs = std::filesystem;

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// "loop2" before "loop10": digit runs compare by value, everything else byte by byte.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      // Compare the runs without leading zeros: the longer is larger, else digit by digit.
      size_t is = i, js = j;
      while (is + 1 < ie && a[is] == '0') ++is;
      while (js + 1 < je && b[js] == '0') ++js;
      if (ie - is != je - js) return ie - is < je - js;
      const int c = a.compare(is, ie - is, b, js, je - js);
      if (c != 0) return c < 0;
      i = ie;
      j = je;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

std::vector<std::string> BlockDeviceList(const std::string& sys_block, const std::string& dev) {
  std::vector<std::string> drives;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(sys_block, ec)) {
    const std::string name = entry.path().filename().string();
    if (StartsWith(name, "ram") || StartsWith(name, "zram")) continue;
    // A loop device has its "loop" directory only while a file is attached.
    if (StartsWith(name, "loop") && !fs::exists(entry.path() / "loop", ec)) continue;
    std::string node = name;
    std::replace(node.begin(), node.end(), '!', '/');
    const fs::path path = fs::path(dev) / node;
    if (fs::exists(path, ec)) drives.push_back(path.string());
  }
  std::sort(drives.begin(), drives.end(), NaturalLess);
  return drives;
}

std::vector<std::string> PhysicalDriveList() {
  return BlockDeviceList("/sys/block", "/dev");
}

}  // namespace korvane::gui
