#include "control/text.h"

#include "timezone/zone_name.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

using Words = std::vector<std::string>;

TEST(SplitArgumentsTest, SplitsLikeAShellButExpandsNothing) {
  const std::vector<std::pair<std::string, std::optional<Words>>> cases = {
      {" \t\n ", Words{}},
      {"--config /etc/a.ovpn  --daemon\n", Words{"--config", "/etc/a.ovpn", "--daemon"}},
      {"--config \"/home/u/my vpn.ovpn\"", Words{"--config", "/home/u/my vpn.ovpn"}},
      {"'a b' a\\ b 'it'\\''s' a\\\\", Words{"a b", "a b", "it's", "a\\"}},
      {"\"say \\\"hi\\\" \\\\ \\$x \\n\" '\\n'", Words{"say \"hi\" \\ $x \\n", "\\n"}},
      {"\"\" '' a\"b\"'c'd", Words{"", "", "abcd"}},
      // Shell syntax is nothing but characters of words.
      {"; rm -rf / $(id) `id`\nreboot", Words{";", "rm", "-rf", "/", "$(id)", "`id`", "reboot"}},
      {"x>/etc/passwd|cat&&y<z #c * \"$HOME\" ~ ${PATH}",
       Words{"x>/etc/passwd|cat&&y<z", "#c", "*", "$HOME", "~", "${PATH}"}},
      // Open quotes and a lone trailing backslash are refused, leaving no words.
      {"--config 'a.ovpn", std::nullopt}, {"\"a.ovpn", std::nullopt}, {"\"a\\\"", std::nullopt}, {"a\\", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    Words words{"stale"};
    EXPECT_EQ(splitArguments(text, &words), expected.has_value()) << text;
    EXPECT_EQ(words, expected.value_or(Words{})) << text;
  }
  // What joinArguments quotes comes back word for word.
  const Words words = {"", "two words", "it's", "\"dq\"", "back\\slash", "$(id)", "`id`", "a\nb", "'", "''", "\\"};
  Words back;
  ASSERT_TRUE(splitArguments(joinArguments(words), &back));
  EXPECT_EQ(back, words);
  EXPECT_EQ(quoteArgument("it's"), "'it'\\''s'");
}

TEST(WideToUtf8Test, ConvertsWholeTextsOrRefusesThem) {
  std::string out;
  ASSERT_EQ(wideToUtf8(U"caf\u00e9 \u20ac \U0001F600", 1023, &out), WideConversion::kOk);
  EXPECT_EQ(out, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  // Invalid units (surrogate, above 0x10FFFF, negative) are refused, never skipped.
  for (char32_t bad : {char32_t{0xD800}, char32_t{0x110000}, char32_t{0xFFFFFFFF}}) {
    out = "stale";
    EXPECT_EQ(wideToUtf8(std::u32string(U"a") + bad, 1023, &out), WideConversion::kInvalidUnit);
    EXPECT_EQ(out, "");
  }
  // A text that does not fit is refused, never cut; the limit counts bytes.
  const std::u32string wide(511, U'\u00e9');
  EXPECT_TRUE(wideToUtf8(wide, 1022, &out) == WideConversion::kOk && out.size() == 1022u);
  EXPECT_EQ(wideToUtf8(wide, 1021, &out), WideConversion::kTooLong);
  EXPECT_EQ(out, "");
}

TEST(Utf8ToWideTest, DecodesAndRejectsMalformedInput) {
  std::u32string out;
  EXPECT_TRUE(utf8ToWide("caf\xc3\xa9 \xf0\x9f\x98\x80", &out) && out == U"caf\u00e9 \U0001F600");
  // Cut short, overlong "/", surrogate, above 0x10FFFF, never a lead byte.
  for (const char* bad : {"a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"}) {
    EXPECT_TRUE(!utf8ToWide(bad, &out) && out.empty()) << bad;
  }
}

TEST(TimezoneNameTest, AcceptsRealNamesAndRefusesUnsafeOnes) {
  for (const char* name : {"Europe/Berlin", "America/Argentina/Buenos_Aires", "Etc/GMT+5", "Etc/GMT-14", "UTC",
                           "America/Port-au-Prince", "right/UTC", "EST5EDT"}) {
    EXPECT_EQ(timezoneNameProblem(name), nullptr) << name;
  }
  for (const char* name : {"", "; rm -rf /", "$(id)", "`id`", "a\nb", "Europe/Berlin\"; id; \"", "a b", "a\\b",
                           "Europe/Berlin'", "../../etc/shadow", "Europe/..", "Eur..ope", "\xc3\xa9", "a|b", "a&b"}) {
    EXPECT_NE(timezoneNameProblem(name), nullptr) << name;
  }
  EXPECT_NE(timezoneNameProblem(std::string_view("a\0b", 3)), nullptr);
}
