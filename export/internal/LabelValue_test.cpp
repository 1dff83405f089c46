#include "LabelValue.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

namespace zrexport {
namespace {

using namespace std::string_literals;

// Whether `s` is well-formed UTF-8 without control characters or DEL: checked
// independently of the code under test, by decoding.
bool IsCleanUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char b = s[i];
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp < 0x20 || cp == 0x7F) return false;
    i += n;
  }
  return true;
}

TEST(LabelValue, ValidUtf8PassesElsePercentEncodedUpToTheFirstNulAndNamesStayDistinct) {
  const std::pair<std::string, std::string> cases[] = {
      {"disk0.read", "disk0.read"},
      {"say \"hi\" \\ now", "say \"hi\" \\ now"},  // the serializer escapes these
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"100%", "100%25"},
      {"a\nb\tc\x7F", "a%0Ab%09c%7F"},
      {"cut\0here"s, "cut"},
      {"\0"s, ""},
      {"\xFF\xFE", "%FF%FE"},
      {"\x80x", "%80x"},                       // stray continuation byte
      {"\xC3", "%C3"},                         // truncated at the end
      {"\xC3(", "%C3("},                       // truncated before ASCII
      {"\xC0\xAF", "%C0%AF"},                  // overlong '/'
      {"\xE0\x80\xAF", "%E0%80%AF"},           // overlong, three bytes
      {"\xED\xA0\x80", "%ED%A0%80"},           // a surrogate
      {"\xF4\x90\x80\x80", "%F4%90%80%80"},    // above U+10FFFF
      {"\xF0\x9F\x98", "%F0%9F%98"},           // truncated four-byte sequence
      {"\xE2\x82x", "%E2%82x"},                // truncated before ASCII, three bytes
      {"\xF0\x9F\x98x", "%F0%9F%98x"},         // and four
      {"\xF0\x9F\xC3\xA9", "%F0%9F\xC3\xA9"},  // cut by the start of another
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF\xF4\x8F\xBF\xBF"},  // the top code points
  };
  for (const auto& [name, expected] : cases) {
    const std::string value = LabelValueOf(name);
    EXPECT_EQ(value, expected) << name;
    EXPECT_TRUE(IsCleanUtf8(value)) << value;
  }

  // Distinct names never share a value. Every name of up to two bytes (NUL excluded, which ends a
  // name) and a set of three-byte ones that look like escapes or sequences: no two map to one
  // value, and every value is clean UTF-8.
  std::map<std::string, std::string> seen;  // value -> name
  auto check = [&](const std::string& name) {
    const std::string value = LabelValueOf(name);
    ASSERT_TRUE(IsCleanUtf8(value)) << name;
    auto [it, fresh] = seen.emplace(value, name);
    ASSERT_TRUE(fresh) << "'" << name << "' and '" << it->second << "' both give '" << value << "'";
  };
  for (int a = 1; a < 256; ++a) {
    check(std::string(1, static_cast<char>(a)));
    for (int b = 1; b < 256; ++b) check(std::string{static_cast<char>(a), static_cast<char>(b)});
  }
  for (const char* name : {"%25", "%0A", "%FF", "%C3", "\xE2\x82\xAC"}) check(name);
}

}  // namespace
}  // namespace zrexport
