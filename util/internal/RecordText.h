// Internal (the common library, see README.md here): the escaping of
// caller-supplied text (counter names, staging paths) before it goes into a log
// record.
//
// A record is one or more lines that the sink writes with its own timestamp
// and level; a name holding a line feed would otherwise start a line of its
// own that a log reader takes for a whole record. Every control character of
// such a text is therefore written as a visible escape sequence, and a record's
// own separators (the line feed and tabs between counter lines) stay as they
// are because they are never passed through here.
//
// The rule, byte by byte:
//   line feed (0x0A)                 -> \n
//   carriage return (0x0D)           -> \r
//   horizontal tab (0x09)            -> \t
//   any other byte below 0x20, DEL   -> \xHH (two lower-case hex digits)
//   a backslash that is followed by a backslash, by 'n', 'r', 't' or 'x',
//   or by a byte escaped above       -> \\ (doubled)
//   every other byte (a backslash followed by anything else or ending the
//   text, printable ASCII, bytes 0x80 and above) -> itself
//
// A backslash is doubled only where a reader could otherwise take it for the
// start of an escape sequence, so the rule is reversible (UnescapeRecordText()
// restores the exact bytes) while a text without control characters is written
// as it is unless it holds one of the five pairs "\\", "\n", "\r", "\t", "\x".
//
// Thread-safety: pure functions of their arguments.

#ifndef ZRPERF_UTIL_INTERNAL_RECORDTEXT_H_
#define ZRPERF_UTIL_INTERNAL_RECORDTEXT_H_

#include <cstddef>
#include <string>

namespace zrperf {

// Appends the escaped form of the `length` bytes at `text` to `out`.
void AppendRecordText(std::string& out, const char* text, std::size_t length);

// The escaped form of `text`.
std::string EscapeRecordText(const std::string& text);

// The bytes that EscapeRecordText() was given: inverts the rule above. A
// backslash that begins no escape sequence is kept as it is.
std::string UnescapeRecordText(const std::string& escaped);

}  // namespace zrperf

#endif  // ZRPERF_UTIL_INTERNAL_RECORDTEXT_H_
