// ReportText: the shown form of every byte and pair of bytes, and of each range of format
// characters; CSV cells, JSON strings and numbers, gnuplot's data blocks and HTML text.

#include "ReportText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>
#include <zrperf/tools/internal/Gnuplot.h>
#include <zrperf/util/internal/RecordText.h>
#include <zrperf/util/internal/Utf8.h>

namespace {

using namespace zrreport_test;

// Every byte alone and after a backslash, and every pair of bytes: the shown form reads back
// exactly, is safe on a terminal, and is the records' own escape wherever that already is.
TEST(ReportText, ShownNamesCsvJsonGnuplotAndHtmlFormsAreExactAndNeutraliseEveryByte) {
  std::vector<std::string> names = {"\xc2\x9b[2J",           "\\\xff",       "\\\\\xc2\x85",
                                    "ok \xe2\x82\xac \\x41", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                    "\xe0\x80\xaf"};
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) names.push_back({static_cast<char>(a), static_cast<char>(b)});
    names.push_back({'\\', static_cast<char>(a)});
  }
  for (const std::string& name : names) {
    const std::string shown = zrreport::ShownName(name);
    ASSERT_EQ(zrperf::UnescapeRecordText(shown), name) << shown;
    ASSERT_TRUE(TerminalSafe(shown) && shown.find('\n') == std::string::npos) << shown;
    if (zrperf::IsUtf8(name) && TerminalSafe(zrperf::EscapeRecordText(name))) {
      ASSERT_EQ(shown, zrperf::EscapeRecordText(name));
    }
  }
  EXPECT_EQ(zrreport::ShownName("\xc2\x9b[2J \\\xff \xe2\x82\xac"),
            "\\xc2\\x9b[2J \\\\\\xff \xe2\x82\xac");
  // Each range of format characters: its ends are escaped byte by byte (U+FFFD in HTML), the
  // characters just outside it are not.
  for (const auto& [first, last] : kFormatCharacters) {
    for (const char32_t c :
         {static_cast<char32_t>(first - 1), first, last, static_cast<char32_t>(last + 1)}) {
      const std::string name = "a" + Utf8(c);
      std::string escaped = "a";
      for (const char b : Utf8(c)) {
        char hex[8];
        std::snprintf(hex, sizeof(hex), "\\x%02x", static_cast<unsigned char>(b));
        escaped += hex;
      }
      const bool hidden = !TerminalSafe(Utf8(c));
      EXPECT_EQ(zrreport::ShownName(name), hidden ? escaped : name) << std::hex << c;
      EXPECT_EQ(zrreport::HtmlText(name), hidden ? "a\xef\xbf\xbd" : name) << std::hex << c;
    }
  }

  // Each leading character that a spreadsheet reads as a formula, each one that needs quoting.
  std::string cells;
  for (const char* cell : {"=1+1", "+1", "-1", "@SUM(A1)", "\tx", "\rx", "=\"q\",", "a,b", "a\"b",
                           "a\nb", "a\rb", "a=b-c", ""})
    cells += zrreport::CsvCell(cell) + "|";
  EXPECT_EQ(cells,
            "\"'=1+1\"|\"'+1\"|\"'-1\"|\"'@SUM(A1)\"|\"'\tx\"|\"'\rx\"|\"'=\"\"q\"\",\"|\"a,b\"|"
            "\"a\"\"b\"|\"a\nb\"|\"a\rb\"|a=b-c||");
  // A JSON string reads back as its text: a byte that is not UTF-8 as U+FFFD.
  std::string all;
  for (int c = 0; c < 256; ++c) {
    all += static_cast<char>(c);
    EXPECT_EQ(Json(zrreport::JsonString(all.substr(c))), c < 0x80 ? all.substr(c) : "\xef\xbf\xbd")
        << c;
  }
  EXPECT_EQ(Json(zrreport::JsonString("\xc3\xa9\xe2\x80\xae")), "\xc3\xa9\xe2\x80\xae");
  EXPECT_EQ(zrreport::JsonNumber(INFINITY, 3) + zrreport::JsonNumber(NAN, 3), "nullnull");
  // gnuplot's data blocks: no line starts with the end marker, and no control byte ends a line.
  std::string script;
  zrreport::AppendDataBlock(script, "$N", {"EODX a", "b\nc\x7f", "EOD"});
  EXPECT_EQ(script, "$N << EODXX\nEODX a\nb?c?\nEOD\nEODXX\n");
  // HtmlText leaves no byte that starts markup or ends an attribute, no control or bad UTF-8.
  EXPECT_EQ(zrreport::HtmlText("<script>alert('x')</script> \"&amp;\""),
            "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &quot;&amp;amp;&quot;");
  EXPECT_EQ(zrreport::HtmlText("a\x01\x7f\xc2\x9b\xff\tb\xc3\xa9"),
            "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\tb\xc3\xa9");
  for (const std::string& text : {all, zrreport::ShownName(all)}) {
    const std::string html = zrreport::HtmlText(text);
    EXPECT_EQ(html.find_first_of("<>\"'"), std::string::npos);
    EXPECT_TRUE(TerminalSafe(html, true));
  }
}

}  // namespace
