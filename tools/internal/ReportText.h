// Internal to zrperf-report: the text forms of everything it writes. Every
// name read from a log (counter names, host names) and every file name or
// piece of a file quoted in a message is written in one form, ShownName(),
// and each output format then has one writer of its own: JsonString() and
// JsonNumber() for JSON, CsvCell() for CSV, HtmlText() for HTML (gnuplot's data blocks are in
// Gnuplot.h). Durations are written by the counters' own text
// (zrfw::DurationText), never by a copy of it.
//
// Thread-safety: pure functions of their arguments.

#ifndef ZRPERF_TOOLS_INTERNAL_REPORTTEXT_H_
#define ZRPERF_TOOLS_INTERNAL_REPORTTEXT_H_

#include <string>

namespace zrreport {

// The shown form of a name: the escape rule of the log records
// (util/internal/RecordText.h: control bytes as \n, \r, \t or \xHH, a
// backslash doubled where it would start an escape), and in addition every
// byte that is not part of well-formed UTF-8, and each byte of a C1 control
// character (U+0080..U+009F, which terminals obey as escape sequences) and of
// an invisible format character (Unicode's general category Cf: the
// bidirectional controls U+202A..U+202E and U+2066..U+2069, U+200B..U+200F,
// U+FEFF, U+00AD, U+061C, U+180E, ...; and the separators U+2028, U+2029,
// with which a name could pose as another), as \xHH, a backslash before such
// a byte doubled. The result is well-formed UTF-8 without control or format
// characters, so it can go to a terminal, into JSON, CSV, XML or a gnuplot
// data block as it is; UnescapeRecordText() restores the exact bytes. A name
// that is UTF-8 without such characters is shown as the records write it.
std::string ShownName(const std::string& bytes);

// A JSON string, quotes included: '"' and '\' escaped with a backslash,
// control bytes (below 0x20, and DEL) as \u00XX; a byte that is not part of
// well-formed UTF-8 (ShownName() leaves none) as \ufffd.
std::string JsonString(const std::string& text);

// A JSON number with `decimals` decimals, or null when `value` is not finite
// (JSON has no infinity or NaN).
std::string JsonNumber(double value, int decimals);

// A CSV text cell (RFC 4180): quoted when it holds a comma, a quote, a
// carriage return or a line feed, quotes doubled. A cell that a spreadsheet
// would take for a formula, one starting with '=', '+', '-', '@', a tab or a
// carriage return, is written quoted with a single quote before its text
// ("'=1+1"), which spreadsheets show as text. Numbers are not cells of this
// kind: they are written as they are.
std::string CsvCell(const std::string& text);

// Text for HTML, in an element or a quoted attribute: '&', '<', '>', '"' and
// '\'' as character references; control characters (C0 but tab and line
// feed, DEL, C1), the format characters that ShownName() escapes and bytes
// that are not part of well-formed UTF-8 as U+FFFD (ShownName() leaves none
// of these).
std::string HtmlText(const std::string& text);

// `value` by the printf format `format` (one double), at most 63 bytes.
std::string Format(const char* format, double value);

// A Unix time in ISO 8601 UTC: "2026-12-07T01:50:00Z", with `millis`
// "2026-12-07T01:50:00.250Z" (rounded to the millisecond).
std::string IsoTime(double unix, bool millis);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_REPORTTEXT_H_
