#include "control/text.h"

#include <optional>
#include <utility>

#include "spine_test_support.h"
#include "timezone/zone_name.h"

using Words = std::vector<std::string>;

TEST(SplitArgumentsTest, SplitsLikeAShellButExpandsNothing) {
  const std::vector<std::pair<std::string, std::optional<Words>>> cases = {
      {" \t\n ", Words{}},
      {"--config \"/home/u/my vpn.ovpn\"  --daemon\n", Words{"--config", "/home/u/my vpn.ovpn", "--daemon"}},
      {"'a b' a\\ b 'it'\\''s' a\\\\", Words{"a b", "a b", "it's", "a\\"}},
      {"\"say \\\"hi\\\" \\\\ \\$x \\n\" '\\n'", Words{"say \"hi\" \\ $x \\n", "\\n"}},
      {"\"\" '' a\"b\"'c'd", Words{"", "", "abcd"}},
      // Shell syntax is nothing but characters of words (integration/requests_itest.cpp sends more).
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
}

TEST(WideToUtf8Test, ConvertsWholeTextsOrRefusesThem) {
  std::string out;
  ASSERT_EQ(wideToUtf8(U"caf\u00e9 \u20ac \U0001F600", 1023, &out), WideConversion::kOk);
  EXPECT_EQ(out, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  // Invalid units (surrogate, above 0x10FFFF, negative) are refused, never skipped; a text that does not fit is
  // refused, never cut (the limit counts bytes).
  const std::u32string wide(511, U'\u00e9');
  EXPECT_TRUE(wideToUtf8(wide, 1022, &out) == WideConversion::kOk && out.size() == 1022u);
  for (auto [text, why] : {std::pair{U"a" + std::u32string(1, 0xD800), WideConversion::kInvalidUnit},
                           {U"a" + std::u32string(1, 0x110000), WideConversion::kInvalidUnit},
                           {U"a" + std::u32string(1, 0xFFFFFFFF), WideConversion::kInvalidUnit},
                           {wide, WideConversion::kTooLong}}) {
    out = "stale";
    EXPECT_TRUE(wideToUtf8(text, 1021, &out) == why && out.empty()) << static_cast<int>(why);
  }
}

// The daemon's own test refuses the injections, empty components and names that do not begin with a letter
// (integration/requests_itest.cpp); these are the rest of the rule.
TEST(TimezoneNameTest, AcceptsRealNamesAndRefusesUnsafeOnes) {
  for (const char* name : {"Europe/Berlin", "Etc/GMT-14", "right/UTC", "EST5EDT"})
    EXPECT_EQ(timezoneNameProblem(name), nullptr) << name;
  for (std::string_view name : {"a b", "a\\b", "Europe/Berlin'", "Europe/..", "Eur..ope", "\xc3\xa9", "a|b", "a&b"})
    EXPECT_NE(timezoneNameProblem(name), nullptr) << name;
  EXPECT_NE(timezoneNameProblem(std::string_view("a\0b", 3)), nullptr);
}
