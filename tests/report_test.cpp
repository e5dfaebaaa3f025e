// SPDX-License-Identifier: GPL-3.0-or-later
// The report: the DFXML's byte runs against the bytes a save copies, the page's well-formedness
// whatever the texts hold, and the naming rules of the files.
#include "report/report.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scan/save.h"
#include "scan/save_folder.h"
#include "scan/scanner.h"
#include "scan/sha256.h"
#include "test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::TempDir;

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

// Parses text as XML, strictly: null when it is not well-formed.
Doc ParseXml(const std::string& text) {
  return Doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "report", "UTF-8",
                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

// The texts (or attribute values) an XPath expression selects.
std::vector<std::string> Select(xmlDoc* doc, const std::string& path) {
  std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContext*)> context(xmlXPathNewContext(doc),
                                                                       xmlXPathFreeContext);
  xmlXPathRegisterNs(context.get(), BAD_CAST "d",
                     BAD_CAST "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML");
  xmlXPathRegisterNs(context.get(), BAD_CAST "k", BAD_CAST report::kXmlNamespace);
  xmlXPathRegisterNs(context.get(), BAD_CAST "h", BAD_CAST "http://www.w3.org/1999/xhtml");
  xmlXPathRegisterNs(context.get(), BAD_CAST "s", BAD_CAST "http://www.w3.org/2000/svg");
  std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObject*)> found(
      xmlXPathEvalExpression(BAD_CAST path.c_str(), context.get()), xmlXPathFreeObject);
  std::vector<std::string> texts;
  if (!found || !found->nodesetval) return texts;
  for (int i = 0; i < found->nodesetval->nodeNr; ++i) {
    xmlChar* text = xmlNodeGetContent(found->nodesetval->nodeTab[i]);
    texts.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    xmlFree(text);
  }
  return texts;
}

Recording MakeRecording(uint64_t index, int64_t start, int64_t end, uint64_t position,
                        uint64_t end_position, std::optional<uint8_t> channel) {
  Recording r;
  r.index = index;
  r.start = start;
  r.end = end;
  r.position = position;
  r.end_position = end_position;
  r.frames = 25;
  r.channel = channel;
  r.grouping = channel ? Grouping::kCamera : Grouping::kTime;
  return r;
}

// The camera image scanned, saved and reported with the camera grouping: each fileobject's byte
// runs are where the saved file's bytes came from, in order (a camera recording's frames lie
// between other cameras' frames), its filesize the file's size and its hashdigest the file's
// SHA-256.
TEST(ReportTest, ByteRunsAreTheBytesSaved) {
  std::vector<testimage::VideoClip> clips;
  std::string error;
  ASSERT_TRUE(testimage::LoadCameraClips(KORVANE_TEST_DATA_DIR, &clips, &error)) << error;
  const testimage::CameraImage image = testimage::BuildCameraImage(clips);
  TempDir dir;
  const std::string source = dir.File("cam.img");
  test::WriteFile(source, image.bytes);
  const std::filesystem::path saved = dir.path() / "saved";
  std::filesystem::create_directory(saved);

  std::atomic<int> stop{0};
  ScanJob job;
  job.source = source;
  test::RecordingSink sink;
  ASSERT_TRUE(ScanSource(job, sink, stop).status.ok());
  std::vector<Recording> found = sink.camera_closed;
  std::sort(found.begin(), found.end(),
            [](const Recording& a, const Recording& b) { return a.index < b.index; });
  ASSERT_EQ(found.size(), image.runs.size());

  SaveJob save;
  save.source = source;
  save.folder = test::Utf8Path(saved);
  save.recordings = found;
  SaveSink quiet;
  const SaveResult result = SaveRecordings(save, quiet, stop);
  ASSERT_TRUE(result.AllSaved()) << result.status.message();

  Result<std::unique_ptr<RawDevice>> device = OpenRawDevice(source);
  ASSERT_TRUE(device.ok());
  SourceReader reader(std::move(*device));
  report::ReportInput input;
  input.log.tool = "korvane-scan";
  input.log.grouping = "camera";
  size_t spread = 0;
  for (const Recording& r : found) {
    Result<std::vector<SourceRun>> runs = SavedRuns(reader, r, job.window, stop);
    ASSERT_TRUE(runs.ok()) << runs.status().message();
    spread += runs->size() > 1;
    input.recordings.push_back({r, *runs, {}});
  }
  EXPECT_GT(spread, 0u) << "no camera recording was spread out: the test shows nothing";
  for (const SavedFile& f : result.files) {
    evidence::LoggedFile logged;
    logged.kind = evidence::kSavedFile;
    logged.path = f.file_name;
    logged.recording = f.recording.Name();
    logged.position = f.recording.position;
    logged.end_position = f.end_position;
    logged.bytes = f.bytes;
    logged.sha256 = f.sha256;
    input.log.files.push_back(std::move(logged));
  }
  Result<std::string> xml = report::ReportXml(input);
  ASSERT_TRUE(xml.ok()) << xml.status().message();
  Doc doc = ParseXml(*xml);
  ASSERT_TRUE(doc) << *xml;
  EXPECT_EQ(Select(doc.get(), "/d:dfxml/d:fileobject").size(), found.size());

  for (const SavedFile& f : result.files) {
    const std::string object = "/d:dfxml/d:fileobject[d:filename='" + f.recording.Name() + "']";
    const std::vector<std::string> offsets =
        Select(doc.get(), object + "/d:byte_runs/d:byte_run/@img_offset");
    const std::vector<std::string> lengths =
        Select(doc.get(), object + "/d:byte_runs/d:byte_run/@len");
    ASSERT_EQ(offsets.size(), lengths.size());
    ASSERT_FALSE(offsets.empty()) << f.recording.Name();
    std::string bytes;
    for (size_t i = 0; i < offsets.size(); ++i) {
      const size_t at = std::stoull(offsets[i]), len = std::stoull(lengths[i]);
      ASSERT_LE(at + len, image.bytes.size());
      bytes.append(reinterpret_cast<const char*>(image.bytes.data()) + at, len);
    }
    EXPECT_EQ(bytes, test::Slurp(test::Utf8Path(saved / f.file_name))) << f.recording.Name();
    EXPECT_EQ(Select(doc.get(), object + "/d:filesize"),
              std::vector<std::string>{std::to_string(f.bytes)});
    EXPECT_EQ(Select(doc.get(), object + "/d:hashdigest[@type='sha256']"),
              std::vector<std::string>{f.sha256});
    EXPECT_EQ(Select(doc.get(), object + "/k:channel"),
              std::vector<std::string>{std::to_string(unsigned{*f.recording.channel})});
  }
}

// Texts from the command line and the disk (an examiner's name, a path) hold what they like:
// markup, bytes that are not UTF-8, control characters. Both documents stay well-formed, carry
// the texts as text, and the page lists every recording, draws a bar for each in its lanes, and
// with a clock offset shows corrected times beside the recorder's.
TEST(ReportTest, WellFormedWhateverTheTextsHold) {
  report::ReportInput input;
  input.log.tool = "korvane-scan";
  input.log.version = "1.0";
  input.log.examiner = "<script>alert(1)</script> & \x01\xff\xfe Zhang";
  input.log.case_id = "]]> \"quoted\" 'case'";
  input.log.source_path = "/images/a&b <c>\x80.img";
  input.log.command_line = {"korvane-scan", "--examiner", *input.log.examiner};
  input.log.grouping = "time";
  input.clock_offset = 3600 + 60 + 1;  // the recorder was ahead by 01:01:01
  const int64_t t0 = 1394005800;       // 2014-03-05 07:50:00
  input.recordings.push_back({MakeRecording(0, t0, t0 + 59, 1000, 9000, std::nullopt), {}, {}});
  ChannelContent zero, three;
  zero.channel = 0;
  three.channel = 3;
  input.recordings.back().recording.channels = {zero, three};
  input.recordings.push_back(
      {MakeRecording(1, t0 + 86400, t0 + 86460, 20000, 30000, std::nullopt), {}, {"1 (1).png"}});
  input.recordings.back().recording.channels = {three};

  Result<std::string> html = report::ReportHtml(input);
  ASSERT_TRUE(html.ok()) << html.status().message();
  Doc page = ParseXml(*html);
  ASSERT_TRUE(page) << *html;
  EXPECT_TRUE(Select(page.get(), "//h:script").empty());
  EXPECT_EQ(html->find("<script>"), std::string::npos);
  // Every recording's row, with corrected and recorder times.
  EXPECT_EQ(Select(page.get(), "//h:table[@class='recordings']/h:tbody/h:tr/h:td[1]"),
            (std::vector<std::string>{"0.dav", "1.dav"}));
  const std::vector<std::string> first_row =
      Select(page.get(), "//h:table[@class='recordings']/h:tbody/h:tr[1]/h:td");
  ASSERT_GE(first_row.size(), 6u);
  EXPECT_EQ(first_row[2], "2014-03-05 06:48:59");  // corrected start
  EXPECT_EQ(first_row[4], "2014-03-05 07:50:00");  // the recorder's
  // A bar per recording and lane: the first is in channels 0 and 3, the second in 3.
  EXPECT_EQ(Select(page.get(), "//s:svg/s:rect").size(), 3u);
  EXPECT_EQ(Select(page.get(), "//s:svg/s:text[@class='lane']"),
            (std::vector<std::string>{"channel 0", "channel 3"}));
  // The axis on round times of the corrected span, the day above where it changes.
  EXPECT_EQ(Select(page.get(), "//s:svg/s:text[@class='tick']"),
            (std::vector<std::string>{"06:00", "09:00", "12:00", "15:00", "18:00", "21:00", "00:00",
                                      "03:00", "06:00", "09:00"}));
  EXPECT_EQ(Select(page.get(), "//s:svg/s:text[@class='tick day']"),
            (std::vector<std::string>{"2014-03-05", "2014-03-06"}));
  // The picture's name as a link beside the page.
  EXPECT_EQ(Select(page.get(), "//h:img/@src"), std::vector<std::string>{"1%20%281%29.png"});
  // Void elements only are written empty: an HTML parser reads the page the same way.
  EXPECT_EQ(html->find("<td/>"), std::string::npos);
  EXPECT_EQ(html->find("<title/>"), std::string::npos);
  EXPECT_EQ(html->rfind("<!DOCTYPE html>", 0), 0u);

  // Over years the axis steps by whole years from New Year's Day.
  report::ReportInput years = input;
  years.clock_offset.reset();
  years.recordings[1].recording.start = 1561939200;  // 2019-07-01
  years.recordings[1].recording.end = 1561939200;
  Result<std::string> long_html = report::ReportHtml(years);
  ASSERT_TRUE(long_html.ok());
  Doc long_page = ParseXml(*long_html);
  ASSERT_TRUE(long_page);
  EXPECT_EQ(Select(long_page.get(), "//s:svg/s:text[@class='tick']"),
            (std::vector<std::string>{"2014", "2015", "2016", "2017", "2018", "2019", "2020"}));

  Result<std::string> xml = report::ReportXml(input);
  ASSERT_TRUE(xml.ok()) << xml.status().message();
  Doc dfxml = ParseXml(*xml);
  ASSERT_TRUE(dfxml) << *xml;
  EXPECT_EQ(Select(dfxml.get(), "/d:dfxml/d:creator/k:examiner"),
            std::vector<std::string>{
                "<script>alert(1)</script> & \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD Zhang"});
  EXPECT_EQ(Select(dfxml.get(), "/d:dfxml/d:fileobject/d:byte_runs/d:byte_run/@img_offset"),
            (std::vector<std::string>{"1000", "20000"}));
  EXPECT_EQ(Select(dfxml.get(), "/d:dfxml/d:fileobject/d:filesize"),
            (std::vector<std::string>{"8000", "10000"}));
  EXPECT_EQ(Select(dfxml.get(), "/d:dfxml/d:fileobject[1]/k:corrected_start"),
            std::vector<std::string>{"2014-03-05 06:48:59"});
  EXPECT_EQ(Select(dfxml.get(), "/d:dfxml/d:fileobject[1]/k:start"),
            std::vector<std::string>{"2014-03-05 07:50:00"});
}

// A report never replaces a file: when either name is taken both get the next free number, and
// what stood there is left as it was. A folder that is missing is a failure, and nothing is made.
TEST(ReportTest, NeverReplacesAndNeverHalfWritten) {
  TempDir dir;
  report::ReportInput input;
  input.log.tool = "korvane-scan";
  input.recordings.push_back({MakeRecording(0, 1394005800, 1394005810, 0, 100, 1), {}, {}});
  test::WriteFile(dir.File("report.xml"), {'k', 'e', 'e', 'p'});

  Result<report::WrittenReport> first = report::WriteReport(test::Utf8Path(dir.path()), input);
  ASSERT_TRUE(first.ok()) << first.status().message();
  EXPECT_EQ(std::filesystem::path(first->html).filename(), "report (1).html");
  EXPECT_EQ(std::filesystem::path(first->xml).filename(), "report (1).xml");
  Result<report::WrittenReport> second = report::WriteReport(test::Utf8Path(dir.path()), input);
  ASSERT_TRUE(second.ok()) << second.status().message();
  EXPECT_EQ(std::filesystem::path(second->html).filename(), "report (2).html");
  EXPECT_EQ(test::Slurp(dir.File("report.xml")), "keep");
  EXPECT_EQ(test::Listing(dir.path()),
            (std::vector<std::string>{"report (1).html", "report (1).xml", "report (2).html",
                                      "report (2).xml", "report.xml"}));
  EXPECT_TRUE(ParseXml(test::Slurp(first->html)));
  EXPECT_TRUE(ParseXml(test::Slurp(first->xml)));

  const Result<report::WrittenReport> missing =
      report::WriteReport(dir.File("missing/folder"), input);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ErrorCode::kUsage);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

// korvane-scan --report: a folder that is missing is a usage error before the scan, and nothing
// is written; with --save in the same run the report's fileobjects carry the SHA-256 that
// recordings.csv gives each saved file; a report that cannot be written (every name taken) is a
// failure with a message and status 4, never reported as success.
TEST(ReportTest, CommandLine) {
  TempDir dir;
  const std::string source = dir.File("demo.img");
  test::WriteFile(source, testimage::BuildDemoImage());
  const std::string out = dir.File("out.txt"), err = dir.File("err.txt");
  auto run = [&](const std::vector<std::string>& args) {
    test::ChildProcess child(KORVANE_SCAN_BINARY, args, out, err);
    return child.Wait();
  };

  EXPECT_EQ(run({"--quiet", "--report", dir.File("missing"), source}), 2);
  EXPECT_NE(test::Slurp(err).find("--report"), std::string::npos) << test::Slurp(err);
  EXPECT_EQ(test::Slurp(out), "");

  const std::filesystem::path folder = dir.path() / "case";
  std::filesystem::create_directory(folder);
  const std::string log = dir.File("case.json");
  ASSERT_EQ(run({"--quiet", "--save", test::Utf8Path(folder), "--report", test::Utf8Path(folder),
                 "--log", log, source}),
            0)
      << test::Slurp(err);
  // The case log names the report's own files with the SHA-256 they have.
  const std::string logged = test::Slurp(log);
  for (const char* name : {"report.html", "report.xml"}) {
    const std::string bytes = test::Slurp(test::Utf8Path(folder / name));
    Sha256 sha;
    sha.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const Result<std::string> hex = sha.Hex();
    ASSERT_TRUE(hex.ok());
    const size_t at = logged.find(std::string(name) + "\"");
    ASSERT_NE(at, std::string::npos) << name << " not in the log:\n" << logged;
    const std::string entry =
        logged.substr(logged.rfind('{', at), logged.find('}', at) - logged.rfind('{', at));
    EXPECT_NE(entry.find("\"kind\": \"report\""), std::string::npos) << entry;
    EXPECT_NE(entry.find(*hex), std::string::npos) << entry;
  }
  Doc xml = ParseXml(test::Slurp(test::Utf8Path(folder / "report.xml")));
  ASSERT_TRUE(xml);
  const std::string manifest = test::Slurp(test::Utf8Path(folder / "recordings.csv"));
  const std::vector<std::string> names = Select(xml.get(), "/d:dfxml/d:fileobject/d:filename");
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    const std::vector<std::string> digest = Select(
        xml.get(), "/d:dfxml/d:fileobject[d:filename='" + name + "']/d:hashdigest[@type='sha256']");
    ASSERT_EQ(digest.size(), 1u) << name;
    const size_t line = manifest.find("\n" + name + ",");
    ASSERT_NE(line, std::string::npos) << name;
    EXPECT_NE(manifest.substr(line, manifest.find('\n', line + 1) - line).find(digest[0]),
              std::string::npos)
        << name;
  }
  EXPECT_TRUE(ParseXml(test::Slurp(test::Utf8Path(folder / "report.html"))));

  // Every name a report may take is taken.
  const std::filesystem::path full = dir.path() / "full";
  std::filesystem::create_directory(full);
  for (unsigned n = 0; n <= kMaxNameNumber; ++n) {
    test::WriteFile(test::Utf8Path(full / NumberedName(report::kHtmlName, n)), {});
  }
  EXPECT_EQ(run({"--quiet", "--report", test::Utf8Path(full), source}), 4);
  EXPECT_NE(test::Slurp(err).find("the report could not be written"), std::string::npos)
      << test::Slurp(err);
  EXPECT_EQ(test::Listing(full).size(), size_t{kMaxNameNumber} + 1);
}

}  // namespace
}  // namespace korvane
