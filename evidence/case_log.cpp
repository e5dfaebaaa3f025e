// SPDX-License-Identifier: GPL-3.0-or-later
#include "evidence/case_log.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "scan/save_folder.h"
#include "scan/time_model.h"

namespace korvane::evidence {
namespace {

namespace fs = std::filesystem;

// Appends s as a JSON string. Bytes that do not form UTF-8 become U+FFFD.
void AppendString(std::string& out, const std::string& s) {
  out += '"';
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", c);
        out += esc;
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, or 0.
    size_t len = 0;
    uint32_t cp = 0;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
      cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      cp = c & 0x07;
    }
    bool valid = len > 0 && i + len <= n;
    for (size_t k = 1; valid && k < len; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      valid = (cc & 0xc0) == 0x80;
      cp = (cp << 6) | (cc & 0x3f);
    }
    if (valid) {
      valid = !(len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) &&
              !(len == 4 && (cp < 0x10000 || cp > 0x10ffff));
    }
    if (valid) {
      out.append(s, i, len);
      i += len;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
  out += '"';
}

class JsonWriter {
 public:
  std::string text;

  void Open(char bracket) {
    text += bracket;
    first_ = true;
    ++depth_;
  }
  void Close(char bracket) {
    --depth_;
    if (!first_) Newline();
    text += bracket;
    first_ = false;
  }
  void Key(const char* key) {
    Item();
    AppendString(text, key);
    text += ": ";
  }
  void Item() {
    if (!first_) text += ',';
    Newline();
    first_ = false;
  }
  void String(const std::string& s) { AppendString(text, s); }
  void Number(uint64_t n) { text += std::to_string(n); }
  void Integer(int64_t n) { text += std::to_string(n); }
  void Bool(bool b) { text += b ? "true" : "false"; }
  void Null() { text += "null"; }
  void OptionalString(const std::optional<std::string>& s) {
    if (s) {
      String(*s);
    } else {
      Null();
    }
  }
  // A value that begins an object or array lets its first member come without a comma.
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }

 private:
  void Newline() {
    text += '\n';
    text.append(static_cast<size_t>(depth_) * 2, ' ');
  }
  bool first_ = true;
  int depth_ = 0;
};

void Pairs(JsonWriter& w, const std::vector<std::pair<std::string, std::string>>& pairs) {
  w.BeginObject();
  for (const auto& [key, value] : pairs) {
    w.Key(key.c_str());
    w.String(value);
  }
  w.EndObject();
}

fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const fs::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The folder a log path goes into, and the log's name in it.
std::pair<std::string, std::string> Split(const std::string& path) {
  const fs::path p = PathOf(path);
  const std::string folder = p.has_parent_path() ? Utf8Of(p.parent_path()) : std::string(".");
  return {folder, Utf8Of(p.filename())};
}

}  // namespace

std::string UtcText(int64_t unix_seconds) {
  std::string text = FormatUnixSeconds(unix_seconds);
  const size_t space = text.find(' ');
  if (space != std::string::npos) text[space] = 'T';
  return text + "Z";
}

std::string CaseLogJson(const CaseLog& log) {
  JsonWriter w;
  w.BeginObject();
  w.Key("tool");
  w.BeginObject();
  w.Key("name");
  w.String(log.tool);
  w.Key("version");
  w.String(log.version);
  w.EndObject();
  w.Key("command_line");
  w.BeginArray();
  for (const std::string& arg : log.command_line) {
    w.Item();
    w.String(arg);
  }
  w.EndArray();
  w.Key("examiner");
  w.OptionalString(log.examiner);
  w.Key("case");
  w.OptionalString(log.case_id);
  w.Key("host");
  w.String(log.host);
  w.Key("started");
  w.String(UtcText(log.started));
  w.Key("ended");
  w.String(UtcText(log.ended));

  w.Key("source");
  w.BeginObject();
  w.Key("path");
  w.String(log.source_path);
  w.Key("canonical_path");
  w.String(log.source_canonical);
  if (log.source) {
    const SourceInfo& s = *log.source;
    w.Key("kind");
    w.String(s.kind);
    w.Key("size");
    w.Number(s.size);
    w.Key("files");
    w.BeginArray();
    for (const std::string& f : s.files) {
      w.Item();
      w.String(f);
    }
    w.EndArray();
    if (s.kind == "e01") {
      w.Key("stored_hashes");
      Pairs(w, s.stored_hashes);
      w.Key("acquisition");
      Pairs(w, s.metadata);
    }
  } else {
    w.Key("kind");
    w.Null();
    w.Key("size");
    w.Null();
  }
  w.EndObject();

  w.Key("range");
  w.BeginObject();
  w.Key("offset");
  w.Number(log.offset);
  w.Key("size");
  if (log.size) {
    w.Number(*log.size);
  } else {
    w.Null();
  }
  w.Key("range_bytes");
  w.Number(log.range_bytes);
  w.Key("scanned_bytes");
  w.Number(log.scanned_bytes);
  w.Key("read_bytes");
  w.Number(log.read_bytes);
  w.EndObject();

  w.Key("date_window");
  if (log.date_window) {
    w.BeginObject();
    w.Key("from");
    w.String(log.date_window->first);
    w.Key("to");
    w.String(log.date_window->second);
    w.EndObject();
  } else {
    w.Null();
  }
  if (log.clock_offset) {
    w.Key("clock_offset");
    w.BeginObject();
    w.Key("text");
    w.String(FormatClockOffset(*log.clock_offset));
    w.Key("seconds");
    w.Integer(*log.clock_offset);
    w.EndObject();
  }
  w.Key("grouping");
  w.String(log.grouping);
  w.Key("block_size");
  if (log.block_size) {
    w.Number(*log.block_size);
  } else {
    w.Null();
  }

  w.Key("counts");
  w.BeginObject();
  w.Key("scanned");
  w.Bool(log.scanned);
  w.Key("recordings");
  w.Number(log.recordings);
  w.Key("frames");
  w.Number(log.frames);
  w.Key("files_written");
  w.Number(log.files.size());
  w.EndObject();
  w.Key("unreadable_bytes");
  w.Number(log.unreadable_bytes);

  w.Key("hashes");
  w.BeginObject();
  w.Key("offset");
  w.Number(log.offset);
  w.Key("bytes");
  w.Number(log.hashed_bytes);
  w.Key("unreadable_bytes_hashed_as_zeros");
  w.Number(log.hashes.empty() ? 0 : log.unreadable_bytes);
  for (const LoggedHash& h : log.hashes) {
    w.Key(h.algorithm.c_str());
    w.String(h.hex);
  }
  w.EndObject();

  w.Key("verification");
  if (log.verify_requested) {
    w.BeginObject();
    w.Key("bytes");
    w.Number(log.verified_bytes);
    w.Key("result");
    bool all = !log.verification.empty();
    for (const LoggedVerification& v : log.verification) all = all && v.match;
    w.String(log.verification.empty() ? "not done" : all ? "match" : "mismatch");
    if (!log.verify_note.empty()) {
      w.Key("note");
      w.String(log.verify_note);
    }
    w.Key("hashes");
    w.BeginArray();
    for (const LoggedVerification& v : log.verification) {
      w.Item();
      w.BeginObject();
      w.Key("algorithm");
      w.String(v.algorithm);
      w.Key("stored");
      w.String(v.stored);
      w.Key("computed");
      w.String(v.computed);
      w.Key("match");
      w.Bool(v.match);
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
  } else {
    w.Null();
  }

  w.Key("files");
  w.BeginArray();
  for (const LoggedFile& f : log.files) {
    w.Item();
    w.BeginObject();
    w.Key("kind");
    w.String(f.kind);
    w.Key("path");
    w.String(f.path);
    w.Key("recording");
    if (f.recording.empty()) {
      w.Null();
    } else {
      w.String(f.recording);
    }
    w.Key("channel");
    if (f.channel) {
      w.Number(*f.channel);
    } else {
      w.Null();
    }
    w.Key("position");
    if (f.has_range) {
      w.Number(f.position);
    } else {
      w.Null();
    }
    w.Key("end_position");
    if (f.has_range) {
      w.Number(f.end_position);
    } else {
      w.Null();
    }
    w.Key("bytes");
    w.Number(f.bytes);
    w.Key("unreadable_bytes");
    w.Number(f.unreadable_bytes);
    w.Key("sha256");
    w.String(f.sha256);
    w.EndObject();
  }
  w.EndArray();
  w.Key("messages");
  w.BeginArray();
  for (const std::string& m : log.messages) {
    w.Item();
    w.String(m);
  }
  w.EndArray();
  w.Key("exit_status");
  w.Integer(log.exit_status);
  w.EndObject();
  return w.text + "\n";
}

Status CheckCaseLogPath(const std::string& path, const std::vector<std::string>& source_files) {
  const auto [folder, name] = Split(path);
  if (name.empty() || name == "." || name == "..") {
    return Status::Error(ErrorCode::kUsage, "--log needs a file name, not '" + path + "'");
  }
  for (const std::string& source : source_files) {
    if (Status refused = FolderWritesToSource(folder, source); !refused.ok()) return refused;
  }
  Result<std::unique_ptr<SaveFolder>> opened = OpenSaveFolder(folder);
  return opened.status();
}

Result<std::string> WriteCaseLog(const std::string& path, const std::string& json) {
  const auto [folder, name] = Split(path);
  Result<std::unique_ptr<SaveFolder>> opened = OpenSaveFolder(folder);
  if (!opened.ok()) return opened.status();
  Result<std::unique_ptr<PendingFile>> file = (*opened)->CreateFile();
  if (!file.ok()) return file.status();
  if (Status written = (*file)->Write(reinterpret_cast<const uint8_t*>(json.data()), json.size());
      !written.ok()) {
    return written;
  }
  Result<std::string> named = CommitFile(**file, name, kMaxNameNumber);
  if (!named.ok()) return named.status();
  (*opened)->Sync();
  return PathOf(path).has_parent_path() ? Utf8Of(PathOf(folder) / PathOf(*named)) : *named;
}

}  // namespace korvane::evidence
