// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "datewindow/clock_offset.h"
#include "datewindow/date_text.h"

namespace korvane::cli {

const char kUsage[] =
    "Usage: korvane-scan [OPTIONS] SOURCE\n"
    "\n"
    "Finds the recordings of a DVR on a raw disk or in a raw image of one: every frame that\n"
    "starts with \"DHAV\" at any byte position, grouped into recordings whose frame times step by\n"
    "0 or 1 second. The source is only ever read.\n"
    "\n"
    "SOURCE is an image file (.vmdk, .img, .dsk or any other) or a raw drive: a block device\n"
    "such as /dev/sdb on Linux, \\\\.\\PhysicalDriveN on Windows.\n"
    "An E01 image (its first segment; the others are found from it) is read as the media it\n"
    "holds, and NAME.001 reads NAME.001, NAME.002, ... as one split raw image.\n"
    "\n"
    "Options:\n"
    "  --offset N         start scanning at byte N of the source (default 0)\n"
    "  --size N           scan N bytes (default: the rest of the source)\n"
    "  --from Y/M/D       only frames recorded on or after this day...\n"
    "  --to Y/M/D         ...and before this day (the end day is not included);\n"
    "                     both or neither, and --to must be after --from; each a real\n"
    "                     calendar date in ASCII digits, year 1 to 9999; the days are\n"
    "                     corrected days when --clock-offset is given\n"
    "  --clock-offset OFFSET  the recorder's clock was OFFSET ahead of the true time:\n"
    "                     [-]HH:MM:SS or [-]D:HH:MM:SS ('-': behind; HH up to 99, or\n"
    "                     0 to 23 after days; at most 36500 days); times shown are\n"
    "                     corrected (the recorder's time minus OFFSET), --from/--to are\n"
    "                     in corrected time, and json adds the recorder's own times\n"
    "  --format FORMAT    table (default), tsv, csv or json\n"
    "  --group GROUPING   time (default): every match is a frame, on one time line for all\n"
    "                     cameras; camera: only valid frames, each channel's on a time line\n"
    "                     of its own (the list then shows each recording's channel)\n"
    "  --save DIR         after the scan, save the recordings found into the folder DIR\n"
    "  --export mp4|mkv DIR  after the scan, export each recording's video channels into\n"
    "                     the folder DIR as MP4 or Matroska files (stream copy)\n"
    "  --thumbnails DIR   after the scan, write a PNG of each recording's video channels'\n"
    "                     first decodable key frame into the folder DIR\n"
    "  --report DIR       after the scan (and any save or export), write report.html and\n"
    "                     report.xml (DFXML) of the run into the folder DIR, with a picture\n"
    "                     of each recording beside them\n"
    "  --select LIST      with --save, --export or --thumbnails, only these: numbers, ranges\n"
    "                     and names such as 0,3,5-9 or 0.dav,2.dav\n"
    "  --quiet            no progress line on stderr\n"
    "  --kernel NAME      search kernel: scalar, sse2, avx2 or avx512 (default: the fastest\n"
    "                     this CPU runs, or the one named by KORVANE_KERNEL)\n"
    "  --workers N        threads reading and searching, 1 to 8 (default: one per processor)\n"
    "  --read HOW         how image files are read: mmap (searched in place, the default) or\n"
    "                     pread (copied into buffers; the default when KORVANE_READ=pread)\n"
    "  --hash LIST        hash the bytes read while scanning: md5, sha1, sha256 (any of them,\n"
    "                     comma-separated); printed at the end and kept in the case log\n"
    "  --verify           E01 images: hash the whole media and compare with the MD5 (and\n"
    "                     SHA-1) stored in the image; exit status 5 when they differ\n"
    "  --log FILE         write a JSON case log of the run to FILE (never replaced: a\n"
    "                     numbered name is used when it exists), also after Ctrl-C\n"
    "  --examiner NAME    the examiner, for the case log\n"
    "  --case ID          the case, for the case log\n"
    "  --help             show this help\n"
    "  --version          show the version and the search kernel in use\n"
    "\n"
    "Numbers are plain decimal byte counts. Output lists one recording per line: its file name\n"
    "(0.dav, 1.dav, ...), start and end time (YYYY-MM-DD hh:mm:ss) and the byte position of its\n"
    "first frame; json adds end_position (just past the last frame), frames, channels (per\n"
    "channel: video, key and audio frames, codec, width, height, fps), valid_frames and\n"
    "complete_frames. With --group camera every format shows the channel too.\n"
    "With --clock-offset the start and end times are corrected; json adds recorder_start,\n"
    "recorder_end (the recorder's own times) and clock_offset. File names stay the recorder's.\n"
    "Progress (percentage, bytes, MB/s, time left) and a summary (matches, and how many were\n"
    "not valid frames) go to stderr when it is a terminal; with --group camera the summary\n"
    "always does.\n"
    "Ctrl-C stops the scan at the next 1 MiB boundary and prints what was found.\n"
    "\n"
    "Saving writes one file per recording, from its first frame to the end of its last, named\n"
    "like the list (0.dav, ...); with --group camera only the channel's whole frames are\n"
    "written, in position order. An existing file is never replaced: the new one is named\n"
    "0 (1).dav, 0 (2).dav, ... instead. A file that cannot be written whole is removed.\n"
    "Each saved file gets a line in DIR/recordings.csv (created with a header when missing):\n"
    "file,start,end,source,position,end_position,bytes,sha256,unreadable_bytes.\n"
    "Ctrl-C while saving removes the file being written and keeps the saved ones.\n"
    "DIR must not lie on the source (a folder on the disk being read, or inside the image\n"
    "being read through a loop device): saving there would write to it, and is refused.\n"
    "\n"
    "Export writes one file per recording and video channel: N.mp4 when the recording has one\n"
    "channel with video, N-chC.mp4 otherwise (.mkv, .png alike), with the same rules as\n"
    "saving; each exported file gets a line in DIR/exports.csv. MP4 files hold the pictures\n"
    "only; Matroska files also the channel's A-law or mu-law audio.\n"
    "\n"
    "The report is one page to read and print (case details, a timeline per channel, the\n"
    "recordings with their pictures, the files written with their SHA-256) and the same\n"
    "recordings in DFXML with their byte runs. It never replaces a file: report (1).html and\n"
    "report (1).xml are written when either name exists. DIR must exist and must not lie on\n"
    "the source. A report that cannot be written gives exit status 4.\n"
    "\n"
    "Exit status: 0 scan completed; 1 the source could not be opened or read, the scan failed\n"
    "or the list could not be written; 2 usage error; 3 completed, but some bytes could not be\n"
    "read (they were scanned, or saved, as zeros; so were bytes of a source that shrank);\n"
    "4 some recordings could not be saved or exported, or the report or the case log could\n"
    "not be written;\n"
    "5 --verify found the E01's stored hash different (or none to compare with); 130 stopped\n"
    "by Ctrl-C.\n";

bool Selection::Contains(uint64_t index) const {
  for (const auto& [low, high] : ranges) {
    if (low <= index && index <= high) return true;
  }
  return false;
}

uint64_t Selection::Highest() const {
  uint64_t highest = 0;
  for (const auto& range : ranges) highest = std::max(highest, range.second);
  return highest;
}

Result<Selection> ParseSelection(const std::string& text) {
  auto fail = [](std::string message) {
    return Status::Error(ErrorCode::kUsage, std::move(message));
  };
  Selection selection;
  auto number = [](std::string item) -> std::optional<uint64_t> {
    if (item.size() > 4) {
      std::string tail = item.substr(item.size() - 4);
      for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (tail == ".dav") item.resize(item.size() - 4);
    }
    return ParseByteCount(item);
  };
  size_t begin = 0;
  for (;;) {
    const size_t comma = text.find(',', begin);
    std::string item =
        text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
    const size_t first = item.find_first_not_of(' ');
    item = first == std::string::npos ? ""
                                      : item.substr(first, item.find_last_not_of(' ') - first + 1);
    if (item.empty()) return fail("--select: empty item in '" + text + "'");
    const size_t dash = item.find('-');
    const auto low = number(item.substr(0, dash));
    const auto high = dash == std::string::npos ? low : number(item.substr(dash + 1));
    if (!low || !high) {
      return fail("--select: '" + item +
                  "' is not a recording number (3), a range of them (5-9) or a name (3.dav)");
    }
    if (*high < *low) return fail("--select: the range '" + item + "' runs backwards");
    selection.ranges.emplace_back(*low, *high);
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return selection;
}

std::optional<uint64_t> ParseByteCount(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  // Leading zeros do not count towards the length limit.
  const size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
  if (text.size() - first > 19) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = first; i < text.size(); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');  // 19 digits cannot wrap 64 bits
  }
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
  return value;
}

Result<Options> ParseCommandLine(const std::vector<std::string>& args) {
  Options options;
  bool sources_only = false;
  auto fail = [](std::string message) {
    return Status::Error(ErrorCode::kUsage, std::move(message));
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (sources_only || arg.size() < 2 || arg[0] != '-' || arg == "-") {
      if (!options.source.empty()) return fail("more than one source given: '" + arg + "'");
      options.source = arg;
      continue;
    }
    if (arg == "--") {
      sources_only = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (const size_t eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    auto flag = [&](bool& target) {
      if (value) return false;
      target = true;
      return true;
    };
    auto take_value = [&]() -> bool {
      if (value) return true;
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };
    if (name == "--help" || name == "-h") {
      if (!flag(options.help)) return fail(name + " takes no value");
    } else if (name == "--version") {
      if (!flag(options.version)) return fail(name + " takes no value");
    } else if (name == "--quiet" || name == "-q") {
      if (!flag(options.quiet)) return fail(name + " takes no value");
    } else if (name == "--offset" || name == "--size") {
      if (!take_value()) return fail(name + " needs a number of bytes");
      const auto n = ParseByteCount(*value);
      if (!n) {
        return fail(name +
                    " takes a plain decimal byte count from 0 to 9223372036854775807, not '" +
                    *value + "'");
      }
      if (name == "--offset") {
        options.offset = *n;
      } else {
        options.size = *n;
      }
    } else if (name == "--from" || name == "--to") {
      if (!take_value()) return fail(name + " needs a date such as 2014/3/4");
      // Only real calendar dates: a partly read or rolled-over date would filter the wrong days.
      if (const auto date = ParseCalendarDate(*value); !date.ok()) {
        return fail(name + " takes a date Y/M/D such as 2014/3/4, not '" + *value +
                    "': " + date.status().message());
      }
      (name == "--from" ? options.from : options.to) = *value;
    } else if (name == "--clock-offset") {
      if (!take_value()) return fail(name + " needs an offset such as -01:30:00");
      const Result<int64_t> offset = ParseClockOffset(*value);
      if (!offset.ok()) {
        return fail(name + " takes [-]HH:MM:SS or [-]D:HH:MM:SS such as -01:30:00, not '" + *value +
                    "': " + offset.status().message());
      }
      options.clock_offset = *offset;
    } else if (name == "--kernel") {
      if (!take_value()) return fail("--kernel needs a kernel name such as avx2");
      options.kernel = *value;
    } else if (name == "--read") {
      if (!take_value()) return fail("--read needs mmap or pread");
      const std::optional<ReadMethod> method = ParseReadMethod(*value);
      if (!method || *method == ReadMethod::kAuto) {
        return fail("--read takes mmap or pread, not '" + *value + "'");
      }
      options.read = *method;
    } else if (name == "--workers") {
      if (!take_value() || value->size() != 1 || (*value)[0] < '1' || (*value)[0] > '8') {
        return fail("--workers takes a number from 1 to 8");
      }
      options.scan_threads = static_cast<unsigned>((*value)[0] - '0');
    } else if (name == "--format") {
      if (!take_value()) return fail("--format needs one of table, tsv, csv, json");
      if (*value == "table") {
        options.format = OutputFormat::kTable;
      } else if (*value == "tsv") {
        options.format = OutputFormat::kTsv;
      } else if (*value == "csv") {
        options.format = OutputFormat::kCsv;
      } else if (*value == "json") {
        options.format = OutputFormat::kJson;
      } else {
        return fail("unknown format '" + *value + "': use table, tsv, csv or json");
      }
    } else if (name == "--group") {
      if (!take_value()) return fail("--group needs time or camera");
      if (*value == "time") {
        options.group = GroupOption::kTime;
      } else if (*value == "camera") {
        options.group = GroupOption::kCamera;
      } else {
        return fail("unknown grouping '" + *value + "': use time or camera");
      }
    } else if (name == "--save") {
      if (!take_value() || value->empty()) return fail("--save needs a folder to save into");
      options.save_dir = *value;
    } else if (name == "--export") {
      if (!take_value() || (*value != "mp4" && *value != "mkv")) {
        return fail("--export needs a format, mp4 or mkv, and a folder: --export mp4 DIR");
      }
      options.export_format = *value;
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return fail("--export " + *value + " needs a folder to export into");
      }
      options.export_dir = args[++i];
    } else if (name == "--thumbnails") {
      if (!take_value() || value->empty()) return fail("--thumbnails needs a folder");
      options.thumbnails_dir = *value;
    } else if (name == "--report") {
      if (!take_value() || value->empty()) return fail("--report needs a folder to write into");
      options.report_dir = *value;
    } else if (name == "--select") {
      if (!take_value()) return fail("--select needs a list such as 0,3,5-9");
      Result<Selection> selection = ParseSelection(*value);
      if (!selection.ok()) return selection.status();
      options.select = std::move(*selection);
    } else if (name == "--hash") {
      if (!take_value()) return fail("--hash needs a list such as md5,sha1,sha256");
      Result<std::vector<evidence::DigestKind>> kinds = evidence::ParseDigestList(*value);
      if (!kinds.ok()) return kinds.status();
      options.hashes = std::move(*kinds);
    } else if (name == "--verify") {
      if (!flag(options.verify)) return fail(name + " takes no value");
    } else if (name == "--log" || name == "--examiner" || name == "--case") {
      if (!take_value() || value->empty()) {
        return fail(
            name + (name == "--log" ? " needs a file to write the case log to" : " needs a value"));
      }
      (name == "--log"        ? options.log_file
       : name == "--examiner" ? options.examiner
                              : options.case_id) = *value;
    } else {
      return fail("unknown option '" + arg + "'");
    }
  }
  if (options.help || options.version) return options;
  if (options.from.has_value() != options.to.has_value()) {
    return fail("--from and --to must be given together");
  }
  if (options.select && !options.save_dir && !options.export_dir && !options.thumbnails_dir) {
    return fail("--select needs --save DIR, --export FORMAT DIR or --thumbnails DIR");
  }
  if ((options.examiner || options.case_id) && !options.log_file) {
    return fail("--examiner and --case go into the case log: they need --log FILE");
  }
  if (options.source.empty()) return fail("no source given");
  return options;
}

}  // namespace korvane::cli
