#include "translate/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Utf8, WellFormedTextOnly) {
  struct Case {
    std::string text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"temp", true},
      {std::string("a\0b", 3), true},    // NUL and control characters are UTF-8
      {"\t\x7f", true},
      {"caf\xc3\xa9", true},             // U+00E9
      {"\xe2\x82\xac", true},            // U+20AC
      {"\xf0\x9f\x98\x80", true},        // U+1F600
      {"\xf4\x8f\xbf\xbf", true},        // U+10FFFF, the last code point
      {"\xef\xbf\xbe", true},            // U+FFFE: a non-character, still UTF-8
      {"\xed\x9f\xbf", true},            // U+D7FF, just below the surrogates
      {"\xff", false},
      {"\xfe", false},
      {"\x80", false},                   // a continuation byte without a lead
      {"caf\xc3", false},                // cut short after the lead
      {"\xe2\x82", false},
      {"\xf0\x9f\x98", false},
      {"\xe2\x82x", false},              // an ASCII byte where a continuation belongs
      {"\xc0\xaf", false},               // overlong "/"
      {"\xc1\xbf", false},
      {"\xe0\x80\xaf", false},
      {"\xf0\x80\x80\xaf", false},
      {"\xed\xa0\x80", false},           // U+D800, a surrogate half
      {"\xed\xbf\xbf", false},           // U+DFFF
      {"\xf4\x90\x80\x80", false},       // U+110000, past the last code point
      {"\xf5\x80\x80\x80", false},
      {"\xf8\x88\x80\x80\x80", false},   // a five-byte form
  };
  for (const Case& c : cases) {
    EXPECT_EQ(valid_utf8(c.text), c.valid) << testing::PrintToString(c.text);
  }
}

TEST(Utf8, DecodesOneCharacterAtAPosition) {
  const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  std::vector<std::pair<std::uint32_t, std::size_t>> read;
  for (std::size_t at = 0; at < text.size();) {
    const std::optional<Utf8Character> c = decode_utf8(text, at);
    ASSERT_TRUE(c.has_value()) << at;
    read.emplace_back(c->code_point, c->length);
    at += c->length;
  }
  EXPECT_EQ(read, (std::vector<std::pair<std::uint32_t, std::size_t>>{
                      {0x61, 1}, {0xE9, 2}, {0x20AC, 3}, {0x1F600, 4}}));
  // A sequence whose continuation lies past the end of the view is cut short,
  // whatever bytes follow in memory.
  EXPECT_FALSE(decode_utf8(std::string_view(text).substr(0, 2), 1).has_value());
}

}  // namespace
