#include "RecordText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace zrperf {
namespace {

using namespace std::string_literals;

TEST(RecordText, EachRuleOfTheTableAndEveryShortTextComesBackWithoutControlBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb", "a\\nb"},
      {"a\rb", "a\\rb"},
      {"a\tb", "a\\tb"},
      {"\x01\x1f\x7f"s, "\\x01\\x1f\\x7f"},
      {"\0"s, "\\x00"},
      {"caf\xC3\xA9 \x80\xFF", "caf\xC3\xA9 \x80\xFF"},  // bytes 0x80 and above: as they are
      {"C:\\dir\\file", "C:\\dir\\file"},                // a backslash before other text
      {"end\\", "end\\"},                                // and one ending the text
      {"\\\\", "\\\\\\"},  // the five pairs double it (the last one ends the text)
      {"\\n", "\\\\n"},
      {"\\r", "\\\\r"},
      {"\\t", "\\\\t"},
      {"\\x41", "\\\\x41"},
      {"\\\n", "\\\\\\n"},  // before an escaped byte
      {"\\\x01"s, "\\\\\\x01"},
      {"\\N\\X\\T", "\\N\\X\\T"},  // the pairs are lower case only
  };
  for (const auto& [text, escaped] : cases) {
    EXPECT_EQ(EscapeRecordText(text), escaped) << text;
    EXPECT_EQ(UnescapeRecordText(escaped), text) << escaped;
  }
  std::string appended = "kept:";
  AppendRecordText(appended, "a\nb\\n", 3);  // only the `length` bytes
  EXPECT_EQ(appended, "kept:a\\nb");

  // Every text of three bytes comes back, and no escape holds a control byte.
  // The bytes that matter to the rule: every escape letter, a backslash, hex
  // digits, a control byte of each kind, DEL and a high byte.
  const std::string alphabet = "\\nrtxa0F\n\r\t\x01\x7f\x80"s + '\0';
  const std::size_t n = alphabet.size();
  for (std::size_t i = 0; i < n * n * n; ++i) {
    const std::string text{alphabet[i / (n * n)], alphabet[i / n % n], alphabet[i % n]};
    const std::string escaped = EscapeRecordText(text);
    ASSERT_EQ(UnescapeRecordText(escaped), text) << escaped;
    ASSERT_TRUE(std::none_of(escaped.begin(), escaped.end(), [](unsigned char u) {
      return u < 0x20 || u == 0x7F;
    })) << escaped;
  }
}

}  // namespace
}  // namespace zrperf
