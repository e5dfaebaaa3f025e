// SPDX-License-Identifier: GPL-3.0-or-later
// Evidence sources: what an examiner is handed instead of a raw disk. Each reads as one raw
// source, so the scan, saving and everything else that reads a source work on it unchanged.
//
// - E01 (Expert Witness) images, with their segments .E02, .E03, ... found from the first one,
//   read through libewf: the logical media is the source, and positions are positions of the
//   media. A chunk whose checksum does not match, or that cannot be read at all, fails to read,
//   so its sectors are scanned (or saved) as zeros and counted unreadable. Recognised by content
//   (the EWF signature) whatever the file's name. Only in builds with libewf; elsewhere opening
//   one fails saying so.
// - Split raw images: NAME.001 names NAME.001, NAME.002, ... read one after the other as one
//   source; segments may differ in size; a segment missing before a later one is an error naming
//   it.
// - Anything else is a plain file or drive (OpenRawDevice).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scan/raw_device.h"
#include "scan/result.h"

namespace korvane::evidence {

struct SourceInfo {
  std::string path;                // as given
  std::string kind;                // "file", "block device", "e01" or "split raw"
  uint64_t size = 0;               // bytes of the source (of an E01, its media)
  std::vector<std::string> files;  // the files read, in order (an E01's or split image's segments)
  // E01: the hashes stored in the image ("md5", "sha1", ...: lower-case hex)...
  std::vector<std::pair<std::string, std::string>> stored_hashes;
  // ...and what libewf reports of the acquisition and the media (case number, examiner,
  // acquisition date, bytes per sector, ...), in its order.
  std::vector<std::pair<std::string, std::string>> metadata;
};

// A source of one of the kinds above, which can say what it is.
class EvidenceDevice : public RawDevice {
 public:
  virtual const SourceInfo& Info() const = 0;
};

struct OpenedSource {
  std::unique_ptr<RawDevice> device;
  SourceInfo info;
};

// Makes OpenSource recognise E01 and split raw images. Call once before opening sources; calling
// again does no harm.
void RegisterEvidenceSources();

// Opens path as OpenSource does (after RegisterEvidenceSources) and says what it is.
Result<OpenedSource> OpenEvidence(const std::string& path);

// Whether this build reads E01 images (it was built with libewf).
bool E01Available();

// The file begins with an EWF signature (E01, Ex01, L01). Only regular files are looked at.
bool HasEwfSignature(const std::string& path);

// The version of libewf this build reads E01 images with; empty without it.
std::string EwfLibraryVersion();

// E01 images through libewf; the reason when this build has no libewf or the image cannot be
// opened (kOpenFailed). Used by the registered opener.
Result<std::unique_ptr<RawDevice>> OpenEwfImage(const std::string& path);

// NAME.001, NAME.002, ... as one source (see above); nullopt when path does not name the first
// segment of a split image (a name ending in .001, .0001, ...).
std::optional<Result<std::unique_ptr<RawDevice>>> OpenSplitRaw(const std::string& path);

}  // namespace korvane::evidence
