// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/report.h"

#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "scan/save_folder.h"
#include "scan/time_model.h"

namespace korvane::report {
namespace {

namespace fs = std::filesystem;

constexpr char kXhtml[] = "http://www.w3.org/1999/xhtml";
constexpr char kSvg[] = "http://www.w3.org/2000/svg";
constexpr char kDfxml[] = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
constexpr char kDublinCore[] = "http://purl.org/dc/elements/1.1/";

// One colour per lane, in turn.
constexpr const char* kLaneColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                        "#9467bd", "#8c564b", "#e377c2", "#17becf"};

// The text as XML may carry it: UTF-8, without the control characters XML 1.0 forbids. Anything
// else becomes U+FFFD.
std::string XmlText(const std::string& s) {
  static const std::string kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
        out += kReplacement;
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (c > 0xF4) len = 0;
    uint32_t cp = len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
    bool good = len > 0 && i + len <= s.size();
    for (size_t k = 1; good && k < len; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      good = (d & 0xC0) == 0x80;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates, beyond U+10FFFF and the two non-characters XML excludes.
    good = good && !(len == 3 && cp < 0x800) && !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) &&
           !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF;
    if (good) {
      out.append(s, i, len);
      i += len;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  return out;
}

const xmlChar* X(const char* s) {
  return reinterpret_cast<const xmlChar*>(s);
}

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

// Building a tree: every call checks what libxml2 gives back, and a null (out of memory) turns
// into the exception the caller's boundary makes a Status of.
xmlNode* Check(xmlNode* node) {
  if (!node) throw std::bad_alloc();
  return node;
}

void Text(xmlNode* node, const std::string& text);

// A new element under parent, in parent's namespace unless ns is given, holding text.
xmlNode* Child(xmlNode* parent, const char* name, const std::string& text = std::string(),
               xmlNs* ns = nullptr) {
  xmlNode* node = Check(xmlNewChild(parent, ns, X(name), nullptr));
  if (!text.empty()) Text(node, text);
  return node;
}

void Attr(xmlNode* node, const char* name, const std::string& value) {
  if (!xmlSetProp(node, X(name), X(XmlText(value).c_str()))) throw std::bad_alloc();
}

void Text(xmlNode* node, const std::string& text) {
  Check(xmlAddChild(node, Check(xmlNewText(X(XmlText(text).c_str())))));
}

std::string Number(uint64_t n) {
  return std::to_string(n);
}

// "2014-03-05 02:10:00" for a time in seconds; the corrected one when an offset is set.
std::string TimeText(int64_t t) {
  return FormatUnixSeconds(t);
}

std::string OffsetText(int64_t seconds) {
  const char sign = seconds < 0 ? '-' : '+';
  const uint64_t s =
      seconds < 0 ? 0 - static_cast<uint64_t>(seconds) : static_cast<uint64_t>(seconds);
  char text[64];
  const uint64_t days = s / 86400, rest = s % 86400;
  if (days > 0) {
    std::snprintf(text, sizeof text, "%c%" PRIu64 ":%02u:%02u:%02u", sign, days,
                  static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                  static_cast<unsigned>(rest % 60));
  } else {
    std::snprintf(text, sizeof text, "%c%02u:%02u:%02u", sign, static_cast<unsigned>(rest / 3600),
                  static_cast<unsigned>(rest / 60 % 60), static_cast<unsigned>(rest % 60));
  }
  return text;
}

std::string ChannelText(const Recording& r) {
  if (r.channel) return std::to_string(unsigned{*r.channel});
  std::string text;
  for (const ChannelContent& c : r.channels) {
    text += (text.empty() ? "" : ", ") + std::to_string(unsigned{c.channel});
  }
  return text;
}

// The lanes a recording is drawn in: its channel (camera grouping) or the channels of its valid
// frames (time grouping); -1 for one without valid frames.
std::vector<int> LanesOf(const Recording& r) {
  if (r.channel) return {*r.channel};
  std::vector<int> lanes;
  for (const ChannelContent& c : r.channels) lanes.push_back(c.channel);
  if (lanes.empty()) lanes.push_back(-1);
  return lanes;
}

// A relative link to a file beside the page: each byte outside the unreserved set escaped.
std::string FileLink(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The axis's steps in seconds, from a second to two weeks, and how their labels read; longer
// spans step by calendar months (kMonthSteps).
struct Tick {
  int64_t step;
  int label;  // 0: date, 1: date and minutes, 2: time of day with seconds
};
constexpr Tick kTicks[] = {{1, 2},         {2, 2},     {5, 2},     {10, 2},        {15, 2},
                           {30, 2},        {60, 1},    {120, 1},   {300, 1},       {600, 1},
                           {900, 1},       {1800, 1},  {3600, 1},  {7200, 1},      {10800, 1},
                           {21600, 1},     {43200, 1}, {86400, 0}, {2 * 86400, 0}, {7 * 86400, 0},
                           {14 * 86400, 0}};
constexpr int64_t kMonthSteps[] = {1, 3, 6, 12, 24, 60, 120, 600, 1200};
constexpr int64_t kMaxTicks = 8;

int64_t FloorTo(int64_t t, int64_t step) {
  const int64_t q = t / step;
  return (t % step < 0 ? q - 1 : q) * step;
}

// The months since year 0 of a time's month, and the time its month starts.
int64_t MonthOf(int64_t t) {
  const int64_t days = FloorTo(t, kSecondsPerDay) / kSecondsPerDay;
  // Civil from days (the inverse of DaysFromCivil), for the year and month only.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);
  return year * 12 + month - 1;
}

int64_t MonthStart(int64_t months) {
  const int64_t year = FloorTo(months, 12) / 12;
  return DaysFromCivil(year, months - year * 12 + 1, 1) * kSecondsPerDay;
}

struct AxisTick {
  int64_t at;
  std::string label;  // under the line's top
  std::string day;    // above it, where the day changes (and at the first line)
};

// Where the axis's lines go, from at or before `first` to at or after `last`, at most about
// kMaxTicks steps, on round times; and how their labels read.
std::vector<AxisTick> AxisTicks(int64_t first, int64_t last) {
  std::vector<AxisTick> ticks;
  for (const Tick& t : kTicks) {
    if ((last - first) / t.step > kMaxTicks) continue;
    std::string day;
    for (int64_t at = FloorTo(first, t.step);; at += t.step) {
      const std::string text = FormatUnixSeconds(at);  // "YYYY-MM-DD hh:mm:ss"
      if (t.label == 0) {
        ticks.push_back({at, text.substr(0, 10), std::string()});
      } else {
        const std::string this_day = text.substr(0, 10);
        ticks.push_back({at, t.label == 1 ? text.substr(11, 5) : text.substr(11),
                         this_day != day ? this_day : std::string()});
        day = this_day;
      }
      if (at >= last) return ticks;
    }
  }
  const int64_t first_month = MonthOf(first), last_month = MonthOf(last) + 1;
  int64_t step = kMonthSteps[std::size(kMonthSteps) - 1];
  for (const int64_t months : kMonthSteps) {
    if ((last_month - first_month) / months <= kMaxTicks) {
      step = months;
      break;
    }
  }
  for (int64_t m = FloorTo(first_month, step);; m += step) {
    const std::string text = FormatUnixSeconds(MonthStart(m));
    ticks.push_back(
        {MonthStart(m), step % 12 == 0 ? text.substr(0, 4) : text.substr(0, 7), std::string()});
    if (MonthStart(m) >= last || ticks.size() > 4 * kMaxTicks) return ticks;
  }
}

// The timeline: one lane per channel, each recording a bar from its start to its end (corrected
// times when an offset is set), on one time axis.
void AddTimeline(xmlNode* parent, const ReportInput& input) {
  const int64_t shift = input.clock_offset.value_or(0);
  std::map<int, std::vector<const Recording*>> lanes;
  int64_t first = 0, last = 0;
  bool any = false;
  for (const ReportRecording& rr : input.recordings) {
    const Recording& r = rr.recording;
    for (int lane : LanesOf(r)) lanes[lane].push_back(&r);
    const int64_t start = r.start - shift, end = std::max(r.start, r.end) - shift + 1;
    first = any ? std::min(first, start) : start;
    last = any ? std::max(last, end) : end;
    any = true;
  }
  if (!any) {
    Child(parent, "p", "No recordings were found, so there is nothing to draw.");
    return;
  }
  // At least a minute across; the axis starts and ends on whole steps.
  if (last - first < 60) last = first + 60;
  const std::vector<AxisTick> ticks = AxisTicks(first, last);
  const int64_t axis_start = ticks.front().at;
  const int64_t axis_end = std::max(ticks.back().at, last);

  constexpr double kLeft = 110, kRight = 70, kWidth = 1000, kTop = 48, kLane = 26, kBar = 16;
  const double plot = kWidth - kLeft - kRight;
  const double height = kTop + kLane * static_cast<double>(lanes.size()) + 10;
  const double scale = plot / static_cast<double>(axis_end - axis_start);
  auto x_of = [&](int64_t t) { return kLeft + static_cast<double>(t - axis_start) * scale; };
  auto num = [](double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return std::string(text);
  };

  xmlNode* svg = Child(parent, "svg");
  xmlNs* ns = xmlNewNs(svg, X(kSvg), nullptr);
  if (!ns) throw std::bad_alloc();
  xmlSetNs(svg, ns);
  Attr(svg, "viewBox", "0 0 " + num(kWidth) + " " + num(height));
  Attr(svg, "width", num(kWidth));
  Attr(svg, "height", num(height));
  Attr(svg, "role", "img");
  Attr(svg, "class", "timeline");
  xmlNode* title = Child(svg, "title", "Recordings per channel over time");
  (void)title;

  // The axis: a line per step, its label above.
  for (const AxisTick& tick : ticks) {
    const std::string x = num(x_of(tick.at));
    xmlNode* line = Child(svg, "line");
    Attr(line, "x1", x);
    Attr(line, "x2", x);
    Attr(line, "y1", num(kTop - 6));
    Attr(line, "y2", num(height - 10));
    Attr(line, "class", "grid");
    xmlNode* label = Child(svg, "text", tick.label);
    Attr(label, "x", x);
    Attr(label, "y", num(kTop - 12));
    Attr(label, "class", "tick");
    if (!tick.day.empty()) {
      xmlNode* day = Child(svg, "text", tick.day);
      Attr(day, "x", x);
      Attr(day, "y", num(kTop - 26));
      Attr(day, "class", "tick day");
    }
  }
  size_t index = 0;
  for (const auto& [lane, recordings] : lanes) {
    const double y = kTop + kLane * static_cast<double>(index);
    const std::string colour = kLaneColours[index % std::size(kLaneColours)];
    ++index;
    xmlNode* name =
        Child(svg, "text", lane < 0 ? "no valid frames" : "channel " + std::to_string(lane));
    Attr(name, "x", num(kLeft - 8));
    Attr(name, "y", num(y + kBar - 3));
    Attr(name, "class", "lane");
    for (const Recording* r : recordings) {
      const double x0 = x_of(r->start - shift);
      const double x1 = x_of(std::max(r->start, r->end) - shift + 1);
      xmlNode* bar = Child(svg, "rect");
      Attr(bar, "x", num(x0));
      Attr(bar, "y", num(y));
      Attr(bar, "width", num(std::max(2.0, x1 - x0)));
      Attr(bar, "height", num(kBar));
      Attr(bar, "fill", colour);
      Child(bar, "title",
            r->Name() + ": " + TimeText(r->start - shift) + " to " + TimeText(r->end - shift) +
                ", " + Number(r->frames) + " frames");
    }
  }
}

constexpr char kStyle[] = R"css(
@page { size: A4; margin: 14mm 12mm; }
body { font-family: "DejaVu Sans", Arial, sans-serif; font-size: 10pt; color: #222;
       margin: 1em auto; max-width: 60em; padding: 0 1em; }
h1 { font-size: 18pt; margin: 0 0 0.4em 0; }
h2 { font-size: 13pt; border-bottom: 1px solid #888; padding-bottom: 2px; }
section { margin-bottom: 2em; }
section.next { break-before: page; page-break-before: always; }
table { border-collapse: collapse; width: 100%; }
th, td { border: 1px solid #bbb; padding: 2px 5px; text-align: left; vertical-align: top; }
th { background: #eee; }
thead { display: table-header-group; }
tr { break-inside: avoid; page-break-inside: avoid; }
table.details th { width: 13em; }
td.n { text-align: right; white-space: nowrap; }
td.t { white-space: nowrap; }
.hash { font-family: "DejaVu Sans Mono", monospace; font-size: 8pt; word-break: break-all; }
img.picture { width: 120px; height: auto; display: block; }
svg.timeline { width: 100%; height: auto; display: block; }
svg rect { shape-rendering: crispEdges; }
svg .grid { stroke: #ccc; stroke-width: 1; }
svg .tick { font-size: 11px; text-anchor: middle; fill: #333; }
svg .day { font-weight: bold; }
svg .lane { font-size: 12px; text-anchor: end; fill: #222; }
p.note { color: #555; }
@media print { body { max-width: none; margin: 0; padding: 0; } }
)css";

void Row(xmlNode* table, const std::string& key, const std::string& value) {
  if (value.empty()) return;
  xmlNode* tr = Child(table, "tr");
  Child(tr, "th", key);
  Child(tr, "td", value);
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) {
    const bool plain = !w.empty() && w.find_first_of(" \t\"'\\$`*?()<>|;&") == std::string::npos;
    std::string quoted = "'";
    for (const char c : w) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += (text.empty() ? "" : " ") + (plain ? w : quoted + "'");
  }
  return text;
}

void AddDetails(xmlNode* section, const ReportInput& input) {
  const evidence::CaseLog& log = input.log;
  Child(section, "h2", "Case details");
  xmlNode* table = Child(section, "table");
  Attr(table, "class", "details");
  Row(table, "Tool", log.tool + " " + log.version);
  Row(table, "Command", Joined(log.command_line));
  Row(table, "Examiner", log.examiner.value_or(""));
  Row(table, "Case", log.case_id.value_or(""));
  Row(table, "Host", log.host);
  if (log.started) Row(table, "Started", evidence::UtcText(log.started));
  if (log.ended) Row(table, "Ended", evidence::UtcText(log.ended));
  Row(table, "Source", log.source_canonical.empty() ? log.source_path : log.source_canonical);
  if (log.source) {
    Row(table, "Source kind", log.source->kind);
    Row(table, "Source size", Number(log.source->size) + " bytes");
  }
  Row(table, "Range",
      "bytes " + Number(log.offset) + " to " + Number(log.offset + log.range_bytes) + " (" +
          Number(log.range_bytes) + " bytes; " + Number(log.scanned_bytes) + " scanned, " +
          Number(log.unreadable_bytes) + " unreadable)");
  for (const evidence::LoggedHash& h : log.hashes) {
    xmlNode* tr = Child(table, "tr");
    Child(tr, "th", h.algorithm + " of the bytes read");
    xmlNode* td =
        Child(tr, "td",
              h.hex + " (" + Number(log.hashed_bytes) + " bytes from " + Number(log.offset) + ")");
    Attr(td, "class", "hash");
  }
  Row(table, "Date window",
      log.date_window
          ? "from " + log.date_window->first + " up to, not including, " + log.date_window->second
          : std::string("none (every date)"));
  Row(table, "Grouping",
      log.grouping == "camera" ? "camera: each channel's valid frames on a time line of their own"
                               : "time: every match a frame, on one time line");
  Row(table, "Clock offset",
      input.clock_offset ? OffsetText(*input.clock_offset) +
                               " (the recorder's clock was that far ahead; corrected time = "
                               "recorder time - offset)"
                         : std::string("none given: times are the recorder's own"));
  Row(table, "Recordings", Number(input.recordings.size()));
}

void AddRecordings(xmlNode* section, const ReportInput& input) {
  const bool corrected = input.clock_offset.has_value();
  const int64_t shift = input.clock_offset.value_or(0);
  Child(section, "h2", "Recordings");
  if (corrected) {
    Child(section, "p",
          "Start and end are corrected times; the recorder's own times are given beside them.");
  }
  xmlNode* table = Child(section, "table");
  Attr(table, "class", "recordings");
  xmlNode* head = Child(Child(table, "thead"), "tr");
  std::vector<std::string> columns = {"Name", "Channel", "Start", "End"};
  if (corrected) columns.insert(columns.end(), {"Recorder start", "Recorder end"});
  columns.insert(columns.end(), {"Position", "End position", "Frames", "Picture"});
  for (const std::string& c : columns) Child(head, "th", c);
  xmlNode* body = Child(table, "tbody");
  for (const ReportRecording& rr : input.recordings) {
    const Recording& r = rr.recording;
    xmlNode* tr = Child(body, "tr");
    Attr(tr, "id", "r" + Number(r.index));
    Child(tr, "td", r.Name());
    Child(tr, "td", ChannelText(r));
    Attr(Child(tr, "td", TimeText(r.start - shift)), "class", "t");
    Attr(Child(tr, "td", TimeText(r.end - shift)), "class", "t");
    if (corrected) {
      Attr(Child(tr, "td", r.StartText()), "class", "t");
      Attr(Child(tr, "td", r.EndText()), "class", "t");
    }
    Attr(Child(tr, "td", Number(r.position)), "class", "n");
    Attr(Child(tr, "td", Number(r.end_position)), "class", "n");
    Attr(Child(tr, "td", Number(r.frames)), "class", "n");
    xmlNode* pictures = Child(tr, "td");
    for (const std::string& p : rr.pictures) {
      xmlNode* img = Child(pictures, "img");
      Attr(img, "src", FileLink(p));
      Attr(img, "alt", "picture of " + r.Name() + " (" + p + ")");
      Attr(img, "class", "picture");
    }
  }
}

void AddFiles(xmlNode* section, const ReportInput& input) {
  Child(section, "h2", "Files written");
  if (input.log.files.empty()) {
    Attr(Child(section, "p", "No recordings were saved or exported in this run."), "class", "note");
    return;
  }
  xmlNode* table = Child(section, "table");
  xmlNode* head = Child(Child(table, "thead"), "tr");
  for (const char* c : {"Kind", "File", "Recording", "Bytes", "SHA-256"}) Child(head, "th", c);
  xmlNode* body = Child(table, "tbody");
  for (const evidence::LoggedFile& f : input.log.files) {
    xmlNode* tr = Child(body, "tr");
    Child(tr, "td", f.kind);
    Child(tr, "td", f.path);
    Child(tr, "td", f.recording);
    Attr(Child(tr, "td", Number(f.bytes)), "class", "n");
    Attr(Child(tr, "td", f.sha256), "class", "hash");
  }
}

Result<std::string> Serialise(xmlDoc* doc, int options) {
  xmlBuffer* buffer = xmlBufferCreate();
  if (!buffer) return Status::Error(ErrorCode::kNoMemory, "not enough memory for the report");
  std::unique_ptr<xmlBuffer, void (*)(xmlBuffer*)> owned(buffer, xmlBufferFree);
  xmlSaveCtxt* save = xmlSaveToBuffer(buffer, "UTF-8", options);
  if (!save) return Status::Error(ErrorCode::kNoMemory, "not enough memory for the report");
  const long saved = xmlSaveDoc(save, doc);
  if (xmlSaveClose(save) < 0 || saved < 0) {
    return Status::Error(ErrorCode::kInternal, "the report could not be serialised");
  }
  return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                     static_cast<size_t>(xmlBufferLength(buffer)));
}

// Gives every empty HTML element but the void ones an empty text, so that it is written as
// "<td></td>": an HTML parser takes "<td/>" for an opening tag.
void OpenEmptyElements(xmlNode* node) {
  static const std::string kVoid[] = {"meta", "img", "br", "hr", "link", "input", "col"};
  for (xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) OpenEmptyElements(child);
  }
  const bool html =
      node->ns && std::string(reinterpret_cast<const char*>(node->ns->href)) == kXhtml;
  if (html && !node->children &&
      std::find(std::begin(kVoid), std::end(kVoid), reinterpret_cast<const char*>(node->name)) ==
          std::end(kVoid)) {
    Check(xmlAddChild(node, Check(xmlNewText(X("")))));
  }
}

Result<std::string> BuildHtml(const ReportInput& input) {
  Doc doc(xmlNewDoc(X("1.0")));
  if (!doc) throw std::bad_alloc();
  if (!xmlCreateIntSubset(doc.get(), X("html"), nullptr, nullptr)) throw std::bad_alloc();
  xmlNode* html = Check(xmlNewDocNode(doc.get(), nullptr, X("html"), nullptr));
  xmlDocSetRootElement(doc.get(), html);
  xmlNs* ns = xmlNewNs(html, X(kXhtml), nullptr);
  if (!ns) throw std::bad_alloc();
  xmlSetNs(html, ns);
  Attr(html, "lang", "en");
  xmlNode* head = Child(html, "head");
  Attr(Child(head, "meta"), "charset", "UTF-8");
  const std::string source =
      input.log.source_canonical.empty() ? input.log.source_path : input.log.source_canonical;
  Child(head, "title", "Recordings found in " + source);
  Child(head, "style", kStyle);
  xmlNode* body = Child(html, "body");

  xmlNode* first = Child(body, "section");
  Child(first, "h1", "Recordings found in " + source);
  Attr(Child(first, "p",
             input.log.tool + " " + input.log.version + ", " + Number(input.recordings.size()) +
                 " recordings" +
                 (input.log.ended ? ", report of " + evidence::UtcText(input.log.ended) : "")),
       "class", "note");
  AddDetails(first, input);

  xmlNode* timeline = Child(body, "section");
  Attr(timeline, "class", "next");
  Child(timeline, "h2", "Timeline");
  Attr(Child(timeline, "p",
             std::string("One lane per channel; each bar is a recording from its start to its "
                         "end (") +
                 (input.clock_offset ? "corrected times" : "the recorder's times") +
                 "). Gaps between bars are times without recordings."),
       "class", "note");
  AddTimeline(timeline, input);

  xmlNode* list = Child(body, "section");
  Attr(list, "class", "next");
  AddRecordings(list, input);

  xmlNode* files = Child(body, "section");
  Attr(files, "class", "next");
  AddFiles(files, input);

  // XHTML that an HTML parser reads the same: no XML declaration, no empty-element tags but
  // those of void elements.
  OpenEmptyElements(html);
  return Serialise(doc.get(), XML_SAVE_FORMAT | XML_SAVE_NO_DECL);
}

Result<std::string> BuildXml(const ReportInput& input) {
  const evidence::CaseLog& log = input.log;
  Doc doc(xmlNewDoc(X("1.0")));
  if (!doc) throw std::bad_alloc();
  xmlNode* root = Check(xmlNewDocNode(doc.get(), nullptr, X("dfxml"), nullptr));
  xmlDocSetRootElement(doc.get(), root);
  xmlNs* dfxml = xmlNewNs(root, X(kDfxml), nullptr);
  xmlNs* dc = xmlNewNs(root, X(kDublinCore), X("dc"));
  xmlNs* own = xmlNewNs(root, X(kXmlNamespace), X("korvane"));
  if (!dfxml || !dc || !own) throw std::bad_alloc();
  xmlSetNs(root, dfxml);
  Attr(root, "version", "1.2.0");

  xmlNode* metadata = Child(root, "metadata");
  Child(metadata, "type", "Recordings found by scanning", dc);
  Child(metadata, "description",
        "Surveillance recordings found on a recorder's disk: one fileobject per recording", dc);

  xmlNode* creator = Child(root, "creator");
  Attr(creator, "version", "1.0");
  Child(creator, "program", log.tool);
  Child(creator, "version", log.version);
  xmlNode* env = Child(creator, "execution_environment");
  if (!log.host.empty()) Child(env, "host", log.host);
  if (log.started) Child(env, "start_time", evidence::UtcText(log.started));
  if (log.ended) Child(env, "end_time", evidence::UtcText(log.ended));
  Child(env, "command_line", Joined(log.command_line));
  if (log.examiner) Child(creator, "examiner", *log.examiner, own);
  if (log.case_id) Child(creator, "case", *log.case_id, own);

  xmlNode* source = Child(root, "source");
  Child(source, "image_filename",
        log.source_canonical.empty() ? log.source_path : log.source_canonical);
  if (log.source) Child(source, "image_size", Number(log.source->size));
  for (const evidence::LoggedHash& h : log.hashes) {
    xmlNode* digest = Child(source, "hashdigest", h.hex);
    Attr(digest, "type", h.algorithm);
    if (!xmlSetNsProp(digest, own, X("offset"), X(Number(log.offset).c_str())) ||
        !xmlSetNsProp(digest, own, X("length"), X(Number(log.hashed_bytes).c_str()))) {
      throw std::bad_alloc();
    }
  }
  Child(source, "range_offset", Number(log.offset), own);
  Child(source, "range_bytes", Number(log.range_bytes), own);
  Child(source, "unreadable_bytes", Number(log.unreadable_bytes), own);
  Child(source, "grouping", log.grouping, own);
  if (log.date_window) {
    xmlNode* window = Child(source, "date_window", "", own);
    Attr(window, "from", log.date_window->first);
    Attr(window, "to", log.date_window->second);
  }
  if (input.clock_offset) {
    Child(source, "clock_offset_seconds", std::to_string(*input.clock_offset), own);
  }

  const int64_t shift = input.clock_offset.value_or(0);
  for (const ReportRecording& rr : input.recordings) {
    const Recording& r = rr.recording;
    const std::vector<SourceRun> runs = RunsOf(rr);
    uint64_t size = 0;
    for (const SourceRun& run : runs) size += run.length;
    xmlNode* object = Child(root, "fileobject");
    Child(object, "filename", r.Name());
    Child(object, "filesize", Number(size));
    xmlNode* byte_runs = Child(object, "byte_runs");
    uint64_t file_offset = 0;
    for (const SourceRun& run : runs) {
      xmlNode* node = Child(byte_runs, "byte_run");
      Attr(node, "file_offset", Number(file_offset));
      Attr(node, "img_offset", Number(run.position));
      Attr(node, "len", Number(run.length));
      file_offset += run.length;
    }
    for (const evidence::LoggedFile& f : log.files) {
      if (f.recording == r.Name() && f.kind == "saved" && !f.sha256.empty()) {
        Attr(Child(object, "hashdigest", f.sha256), "type", "sha256");
        break;
      }
    }
    if (r.channel) Child(object, "channel", std::to_string(unsigned{*r.channel}), own);
    for (const ChannelContent& c : r.channels) {
      xmlNode* node = Child(object, "channel_content", "", own);
      Attr(node, "channel", std::to_string(unsigned{c.channel}));
      Attr(node, "video_frames", Number(c.video_frames));
      Attr(node, "key_frames", Number(c.key_frames));
      Attr(node, "audio_frames", Number(c.audio_frames));
    }
    Child(object, "start", r.StartText(), own);
    Child(object, "end", r.EndText(), own);
    if (input.clock_offset) {
      Child(object, "corrected_start", TimeText(r.start - shift), own);
      Child(object, "corrected_end", TimeText(r.end - shift), own);
    }
    Child(object, "position", Number(r.position), own);
    Child(object, "end_position", Number(r.end_position), own);
    Child(object, "frames", Number(r.frames), own);
    Child(object, "valid_frames", Number(r.valid_frames), own);
    Child(object, "complete_frames", Number(r.complete_frames), own);
    for (const evidence::LoggedFile& f : log.files) {
      if (f.recording != r.Name()) continue;
      xmlNode* file = Child(object, "file", "", own);
      Attr(file, "kind", f.kind);
      Attr(file, "path", f.path);
      Attr(file, "bytes", Number(f.bytes));
      if (!f.sha256.empty()) Attr(file, "sha256", f.sha256);
    }
    for (const std::string& p : rr.pictures) Child(object, "picture", p, own);
  }
  return Serialise(doc.get(), XML_SAVE_FORMAT);
}

fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const fs::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

bool Exists(const fs::path& folder, const std::string& name) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(folder / PathOf(name), ec)) ||
         (ec && ec != std::errc::no_such_file_or_directory);
}

Status WriteAll(PendingFile& file, const std::string& text) {
  if (Status written = file.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      !written.ok()) {
    return written;
  }
  return file.Flush();
}

}  // namespace

std::vector<SourceRun> RunsOf(const ReportRecording& r) {
  if (r.runs) return *r.runs;
  const Recording& rec = r.recording;
  if (rec.end_position <= rec.position) return {};
  return {SourceRun{rec.position, rec.end_position - rec.position}};
}

Result<std::string> ReportHtml(const ReportInput& input) {
  try {
    return BuildHtml(input);
  } catch (...) {
    return StatusFromException("the report");
  }
}

Result<std::string> ReportXml(const ReportInput& input) {
  try {
    return BuildXml(input);
  } catch (...) {
    return StatusFromException("the report");
  }
}

Result<WrittenReport> WriteReport(const std::string& folder, const ReportInput& input) {
  try {
    Result<std::string> html = ReportHtml(input);
    if (!html.ok()) return html.status();
    Result<std::string> xml = ReportXml(input);
    if (!xml.ok()) return xml.status();
    Result<std::unique_ptr<SaveFolder>> opened = OpenSaveFolder(folder);
    if (!opened.ok()) return opened.status();
    SaveFolder& dir = **opened;
    auto fail = [&folder](const std::string& what, const Status& why) {
      return Status::Error(ErrorCode::kWriteFailed,
                           "cannot write " + what + " in '" + folder + "': " + why.message());
    };
    Result<std::unique_ptr<PendingFile>> html_file = dir.CreateFile();
    if (!html_file.ok()) return fail(kHtmlName, html_file.status());
    Result<std::unique_ptr<PendingFile>> xml_file = dir.CreateFile();
    if (!xml_file.ok()) return fail(kXmlName, xml_file.status());
    if (Status s = WriteAll(**html_file, *html); !s.ok()) return fail(kHtmlName, s);
    if (Status s = WriteAll(**xml_file, *xml); !s.ok()) return fail(kXmlName, s);

    // The first number free for both names; the XML is named first and taken back when the
    // page cannot be named after it, so that neither stands alone.
    const fs::path base = PathOf(folder);
    for (unsigned n = 0; n <= kMaxNameNumber; ++n) {
      const std::string html_name = NumberedName(kHtmlName, n);
      const std::string xml_name = NumberedName(kXmlName, n);
      if (Exists(base, html_name) || Exists(base, xml_name)) continue;
      Result<bool> xml_named = (*xml_file)->TryName(xml_name);
      if (!xml_named.ok()) return fail(kXmlName, xml_named.status());
      if (!*xml_named) continue;
      Result<bool> html_named = (*html_file)->TryName(html_name);
      if (!html_named.ok() || !*html_named) {
        std::error_code ignored;
        fs::remove(base / PathOf(xml_name), ignored);
        if (!html_named.ok()) return fail(kHtmlName, html_named.status());
        continue;  // another program took the name at that moment
      }
      dir.Sync();
      return WrittenReport{Utf8Of(base / PathOf(html_name)), Utf8Of(base / PathOf(xml_name))};
    }
    return Status::Error(ErrorCode::kWriteFailed,
                         "cannot write the report in '" + folder + "': every name up to " +
                             NumberedName(kHtmlName, kMaxNameNumber) + " is taken");
  } catch (...) {
    return StatusFromException("the report");
  }
}

}  // namespace korvane::report
