// The platform's side of saving: new files in a folder that appear under their name only when
// complete and never replace anything, and a log file that is only ever appended to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvane {

// A file being written. Until Commit succeeds it has no name in the folder (or a hidden
// temporary one); destroying it uncommitted removes it, so nothing half-written stays behind.
class PendingFile {
 public:
  virtual ~PendingFile() = default;

  // Appends len bytes. On failure *error gets the system's reason.
  virtual bool Write(const uint8_t* data, size_t len, std::string* error) = 0;

  // Flushes the contents to the disk, then gives the file the first free name among `name`,
  // NumberedName(name, 1), ... NumberedName(name, last). A name that exists, or that another
  // process takes at the same moment, is never replaced. *final_name receives the name used;
  // when every name is taken, *error says so and *final_name is left empty.
  virtual bool Commit(const std::string& name, unsigned last, std::string* final_name,
                      std::string* error) = 0;
};

class SaveFolder {
 public:
  virtual ~SaveFolder() = default;

  // A new, empty file in the folder, opened for writing. It must not outlive the folder object.
  virtual std::unique_ptr<PendingFile> CreateFile(std::string* error) = 0;

  // Appends text to the regular file `name` in the folder. When the file is missing it is created
  // holding `header`, whole, before anyone can append to it. A file that does not end with a line
  // break gets one first. The text is written with one call and flushed to the disk. Symbolic
  // links and anything but a regular file are refused.
  virtual bool AppendToLog(const std::string& name, const std::string& header,
                           const std::string& text, std::string* error) = 0;

  // Flushes the folder's entries to the disk.
  virtual void Sync() = 0;
};

// Opens an existing folder that the process may create files in. On failure returns null and
// puts a message naming the folder and the reason into *error. Creates nothing.
std::unique_ptr<SaveFolder> OpenSaveFolder(const std::string& path, std::string* error);

// Why saving into `folder` would write to the source it reads, or empty when it would not. It
// would when the folder's file system lies on the source device (on it, on a partition of it, or
// on a device built on it: device mapper, RAID, a loop device whose backing file is on it), or,
// for a source that is a file, inside that file (through a loop device). A folder merely on the
// same file system as a source file does not count: writing next to an image does not change
// it. Linux follows the folder's device through sysfs; Windows compares the folder's volume with
// a source drive's number (the volume's extents) or a source volume; elsewhere, and whenever the
// system cannot tell, the answer is empty.
std::string FolderWritesToSource(const std::string& folder, const std::string& source);

// "0.dav" with n = 2 gives "0 (2).dav"; n = 0 gives the name itself. The number goes before the
// last extension, or at the end of a name without one.
std::string NumberedName(const std::string& name, unsigned n);

// How many numbered names a saved recording may try before it gives up.
inline constexpr unsigned kMaxNameNumber = 9999;

}  // namespace korvane
