// SPDX-License-Identifier: GPL-3.0-or-later
// Save folders: new files that appear under their name only when complete and never replace
// anything, and a log file that is only ever appended to.
//
// Two layers. Each platform gives the primitives (save_folder_posix.cpp, save_folder_win32.cpp):
// a file without a name or under a hidden name, giving it a name without replacing, opening the
// log, flushing, and which device holds a folder. The rules over them are written once
// (save_folder.cpp): the numbered names, the temporary names, creating the log with its header,
// the line break before a new line, the refusal of a folder on the source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "scan/result.h"

namespace korvane {

// ---- The platform's primitives ----

// A file being written, without a name in the folder or under a hidden temporary one.
// Destroying it before it has been named removes it, so nothing half-written stays behind.
class PendingFile {
 public:
  virtual ~PendingFile() = default;

  // Appends len bytes; on failure the message is the system's reason.
  virtual Status Write(const uint8_t* data, size_t len) = 0;

  // Flushes the contents to the disk.
  virtual Status Flush() = 0;

  // Gives the file the name `name`: true once it has it, false when the name exists (or another
  // process takes it at the same moment). An existing name is never replaced. On failure the
  // message is the system's reason.
  virtual Result<bool> TryName(const std::string& name) = 0;

  // Positioned access, for writers that go back over what they wrote (a container whose index
  // follows its data). They do not move the position Write appends at. WriteAt writes all of
  // data; ReadAt reads up to len bytes and returns how many (0 at the end). Where the platform
  // does not give them, both fail (kInternal).
  virtual Status WriteAt(uint64_t offset, const uint8_t* data, size_t len);
  virtual Result<size_t> ReadAt(uint64_t offset, uint8_t* data, size_t len);
};

// A log file opened for appending.
class LogFile {
 public:
  virtual ~LogFile() = default;

  // Whether the file is empty or ends with a line break; what cannot be read counts as one.
  virtual bool EndsLine() = 0;

  // Appends text with one write that lands at the end whoever else appends, and flushes it to the
  // disk. On failure the message is the system's reason.
  virtual Status Append(const std::string& text) = 0;
};

// An open folder, as the platform sees it.
class FolderAccess {
 public:
  virtual ~FolderAccess() = default;

  // A new empty file without a name, or null where the file system cannot make one.
  virtual Result<std::unique_ptr<PendingFile>> CreateUnnamed() = 0;

  // A new empty file under the hidden name `name`, or null when that name exists.
  virtual Result<std::unique_ptr<PendingFile>> CreateHidden(const std::string& name) = 0;

  // The regular file `name` opened for appending, or null when it is missing. A symbolic link
  // ("it is a symbolic link") and anything but a regular file ("it is not a regular file") are
  // refused.
  virtual Result<std::unique_ptr<LogFile>> OpenLog(const std::string& name) = 0;

  // Flushes the folder's entries to the disk.
  virtual void Sync() = 0;
};

// Opens an existing folder that the process may create files in; `path` is not empty. Failures
// are kUsage, with a message naming the folder and the reason. Creates nothing.
Result<std::unique_ptr<FolderAccess>> OpenFolderAccess(const std::string& path);

// Whether a write to the file system holding `folder` could change the bytes read from `source`
// (see FolderWritesToSource). False whenever the system cannot tell.
bool FolderLiesOnSource(const std::string& folder, const std::string& source);

// The source's path as recordings.csv names it: absolute, with "." and ".." and (where the
// system has them) symbolic links resolved; the path as given when that cannot be done.
std::string CanonicalSourcePath(const std::string& source);

// ---- The rules ----

// "0.dav" with n = 2 gives "0 (2).dav"; n = 0 gives the name itself. The number goes before the
// last extension, or at the end of a name without one.
std::string NumberedName(const std::string& name, unsigned n);

// How many numbered names a saved recording may try before it gives up.
inline constexpr unsigned kMaxNameNumber = 9999;

// Flushes a file's contents to the disk, then gives it the first free name among `name`,
// NumberedName(name, 1), ... NumberedName(name, last), and returns the name used. A name that
// exists, or that another process takes at the same moment, is never replaced. When every name is
// taken, fails saying so (kWriteFailed).
Result<std::string> CommitFile(PendingFile& file, const std::string& name, unsigned last);

class SaveFolder {
 public:
  explicit SaveFolder(std::unique_ptr<FolderAccess> access);
  ~SaveFolder();
  SaveFolder(const SaveFolder&) = delete;
  SaveFolder& operator=(const SaveFolder&) = delete;

  // A new, empty file in the folder, opened for writing: without a name where the file system
  // allows it, otherwise under a hidden temporary name. It must not outlive the folder object.
  Result<std::unique_ptr<PendingFile>> CreateFile();

  // Appends text to the regular file `name` in the folder. When the file is missing it is created
  // holding `header`, whole, before anyone can append to it. A file that does not end with a line
  // break gets one first. The text is written with one call and flushed to the disk. Symbolic
  // links and anything but a regular file are refused.
  Status AppendToLog(const std::string& name, const std::string& header, const std::string& text);

  // Flushes the folder's entries to the disk.
  void Sync();

 private:
  Result<std::unique_ptr<LogFile>> OpenOrCreateLog(const std::string& name,
                                                   const std::string& header);

  std::unique_ptr<FolderAccess> access_;
  std::unique_ptr<LogFile> log_;
  std::string log_name_;
};

// Opens an existing folder that the process may create files in. Failures are kUsage, with a
// message naming the folder and the reason. Creates nothing.
Result<std::unique_ptr<SaveFolder>> OpenSaveFolder(const std::string& path);

// Refuses (kRefused, with the reason) a folder where saving would write to the source it reads.
// It would when the folder's file system lies on the source device, or on anything built on it
// or beneath it that shares its bytes: a partition and its disk, device mapper and RAID devices,
// loop devices (over a file, identified by device and inode, or over a block device, at any
// offset, stacked to any depth), the upper and work directories of an overlay mount; for a
// source that is a file, inside that file (through a loop device). A folder merely on the same
// file system as a source file does not count: writing next to an image does not change it.
// Linux follows the folder's device through sysfs, loop devices and the mount table; Windows
// compares the folder's volume with a source drive's number (the volume's extents) or a source
// volume; elsewhere, and whenever the system cannot tell, it is accepted.
Status FolderWritesToSource(const std::string& folder, const std::string& source);

// OpenSaveFolder for files made from `source`: refused first when the folder lies on it
// (FolderWritesToSource).
Result<std::unique_ptr<SaveFolder>> OpenSaveFolderOff(const std::string& folder,
                                                      const std::string& source);

}  // namespace korvane
