// Html: the page holds the summary's figures for every counter, a picture each (the first 12) and
// the objectives' results; hostile names and hosts are text, never markup nor a format character;
// and a real browser renders it without requesting anything outside the file.

#include "Html.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>
#include <zrperf/tools/internal/ReportText.h>
#include <zrperf/tools/internal/Summary.h>

namespace {

using namespace zrreport_test;

// The page holds the summary's figures for every counter, a picture each and the objectives'
// results; hostile names and hosts are text, never markup nor a format character; and a real
// browser renders it without requesting anything outside the file.
TEST(ReportHtml, PageHoldsEveryFigureAndPictureAndRequestsNothingOutside) {
  TempDir dir("report");
  const std::vector<std::string> names = {"disk.read",    "<script>document.title='x'</script>",
                                          "q\"'&amp;<b>", "img<img src=http://127.0.0.1:9/n.png>",
                                          "bad\xff\x01",  "rtl\xe2\x80\xae\xe2\x81\xa6"};
  const std::string log = LogOf(dir, "h.hlog", names), host = "h\xe2\x80\x8b\xef\xbb\xbf";
  SetHostLine(log, host);
  const std::string page = dir.Path("page.html");
  const zrreport::Invocation in =
      Invoke({"html", "--slo", "*:max < 1h", "--slo", "disk*:p50 < 1us", "-o", page, log});
  const zrreport::Dataset data = Read({log});
  std::string html, table, error;
  bool held = true;
  ASSERT_TRUE(zrreport::Html(data, in.options, in.objectives, &html, &held, &error)) << error;
  EXPECT_FALSE(held);
  WriteFile(page, html);  // for the browser
  ASSERT_TRUE(zrreport::Summary(data, {}, &table, &error)) << error;
  // Each summary row's figures (its last eight fields) are cells of the page.
  std::istringstream lines(table);
  std::string line, field;
  std::size_t rows = 0;
  for (std::getline(std::getline(lines, line), line); std::getline(lines, line); ++rows) {
    std::vector<std::string> fields;
    for (std::istringstream words(line); words >> field;) fields.push_back(field);
    ASSERT_GE(fields.size(), 9u) << line;
    for (std::size_t k = fields.size() - 8; k < fields.size(); ++k)
      EXPECT_TRUE(Has(html, "<td>" + fields[k] + "</td>")) << line;
  }
  EXPECT_EQ(rows, names.size());
  for (const std::string& name : names)
    EXPECT_TRUE(Has(html, "<h2>" + zrreport::HtmlText(zrreport::ShownName(name)) + "</h2>"));
  for (const char* tag : {"<script", "<img"}) EXPECT_FALSE(Has(html, tag));
  EXPECT_TRUE(TerminalSafe(html, true));
  EXPECT_TRUE(Has(html, " intervals from " + zrreport::ShownName(host) + ".<br>"));
  EXPECT_TRUE(Has(html, "<p class=\"breached\">1 of 7 breached</p>"));
  EXPECT_FALSE(Has(html, "Pictures of the first"));
  // Past 12 counters the tables hold them all, the pictures the first 12.
  std::vector<std::string> many;
  for (int c = 0; c < 13; ++c) many.push_back("c" + std::to_string(100 + c));
  const zrreport::Dataset manyData = Read({LogOf(dir, "many.hlog", many)});
  std::string manyPage;
  ASSERT_TRUE(zrreport::Html(manyData, {}, {}, &manyPage, &held, &error)) << error;
  EXPECT_TRUE(Has(manyPage, "<td>c112</td>"));
  EXPECT_TRUE(Has(manyPage, "<h2>c111</h2>"));
  EXPECT_FALSE(Has(manyPage, "<h2>c112</h2>"));
  EXPECT_TRUE(Has(manyPage, "Pictures of the first 12 of 13 counters"));

  std::string browser;
  for (const char* path : {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"})
    if (browser.empty() && access(path, X_OK) == 0) browser = path;
  if (browser.empty())
    GTEST_SKIP() << "no Chromium to render the page (Debian package chromium-headless-shell)";
  // The browser's network log lists every URL it requested (as a page with an outside picture
  // shows).
  const std::string outside = dir.Write("outside.html", "<img src=\"http://127.0.0.1:9/x.png\">");
  const auto render = [&](const std::string& file, const std::string& tag) {
    const std::string command =
        "timeout 120 " + browser +
        " --headless --no-sandbox --disable-gpu --disable-background-networking "
        "--disable-component-update --disable-sync --no-first-run --user-data-dir=" +
        dir.Path("profile-" + tag) + " --log-net-log=" + dir.Path("net-" + tag) +
        " --dump-dom file://" + file + " >" + dir.Path("dom-" + tag) + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return std::make_pair(ReadFile(dir.Path("dom-" + tag)), ReadFile(dir.Path("net-" + tag)));
  };
  EXPECT_TRUE(Has(render(outside, "outside").second, "\"url\":\"http://127.0.0.1:9/x.png\""));
  const auto rendered = render(page, "page");
  const std::string& dom = rendered.first;
  EXPECT_FALSE(Has(rendered.second, "\"url\":"));
  // The browser made no element of a name.
  for (const char* tag : {"<script", "<img", "<b>"}) EXPECT_FALSE(Has(dom, tag));
  EXPECT_EQ(Occurrences(dom, "<svg"), names.size());
  EXPECT_TRUE(Has(dom, "<title>zrperf report "));
}

}  // namespace
