#include "control/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Words = std::vector<std::string>;

namespace {

Words split(std::string_view text) {
  Words words;
  EXPECT_TRUE(splitArguments(text, &words)) << text;
  return words;
}

bool splits(std::string_view text) {
  Words words{"stale"};
  bool ok = splitArguments(text, &words);
  if (!ok) {
    EXPECT_TRUE(words.empty());
  }
  return ok;
}

}  // namespace

TEST(SplitArgumentsTest, BlanksSeparateWordsAndEmptyTextHasNone) {
  EXPECT_EQ(split(""), Words{});
  EXPECT_EQ(split(" \t\n "), Words{});
  EXPECT_EQ(split("--config /etc/a.ovpn  --daemon"), (Words{"--config", "/etc/a.ovpn", "--daemon"}));
  EXPECT_EQ(split("\ta\nb "), (Words{"a", "b"}));
}

TEST(SplitArgumentsTest, QuotesAndBackslashKeepTextTogether) {
  EXPECT_EQ(split("--config \"/home/u/my vpn.ovpn\""), (Words{"--config", "/home/u/my vpn.ovpn"}));
  EXPECT_EQ(split("'a b' c"), (Words{"a b", "c"}));
  EXPECT_EQ(split("a\\ b"), Words{"a b"});
  EXPECT_EQ(split("'it'\\''s'"), Words{"it's"});
  EXPECT_EQ(split("\"say \\\"hi\\\" \\\\ \\$x \\n\""), Words{"say \"hi\" \\ $x \\n"});
  EXPECT_EQ(split("'\\n'"), Words{"\\n"});
  EXPECT_EQ(split("\"\" ''"), (Words{"", ""}));
  EXPECT_EQ(split("a\"b\"'c'd"), Words{"abcd"});
}

// Nothing that a shell would treat specially does anything here: every such
// character stays part of an ordinary word.
TEST(SplitArgumentsTest, ShellSyntaxIsJustCharacters) {
  EXPECT_EQ(split("; rm -rf /"), (Words{";", "rm", "-rf", "/"}));
  EXPECT_EQ(split("$(id)"), Words{"$(id)"});
  EXPECT_EQ(split("`id`"), Words{"`id`"});
  EXPECT_EQ(split("a\nb"), (Words{"a", "b"}));
  EXPECT_EQ(split("x>/etc/passwd|cat&&y<z #c *"), (Words{"x>/etc/passwd|cat&&y<z", "#c", "*"}));
  EXPECT_EQ(split("\"$HOME\" ~ ${PATH}"), (Words{"$HOME", "~", "${PATH}"}));
}

TEST(SplitArgumentsTest, RefusesOpenQuotesAndTrailingBackslash) {
  EXPECT_FALSE(splits("--config 'a.ovpn"));
  EXPECT_FALSE(splits("\"a.ovpn"));
  EXPECT_FALSE(splits("\"a\\\""));
  EXPECT_FALSE(splits("a\\"));
  EXPECT_FALSE(splits("'; rm -rf /"));
  EXPECT_TRUE(splits("a\\\\"));
}

TEST(SplitArgumentsTest, QuoteArgumentRoundTrips) {
  const Words words = {"", "plain", "two words", "it's", "\"dq\"", "back\\slash", "$(id)", "`id`",
                       "; rm -rf /", "a\nb", "tab\there", "'", "''", "\\"};
  Words back;
  ASSERT_TRUE(splitArguments(joinArguments(words), &back));
  EXPECT_EQ(back, words);
  EXPECT_EQ(quoteArgument("it's"), "'it'\\''s'");
}

TEST(WideToUtf8Test, ConvertsAsciiAndUnicode) {
  std::string out;
  ASSERT_EQ(wideToUtf8(U"--config a.ovpn", 1023, &out), WideConversion::kOk);
  EXPECT_EQ(out, "--config a.ovpn");
  ASSERT_EQ(wideToUtf8(U"caf\u00e9 \u20ac \U0001F600", 1023, &out), WideConversion::kOk);
  EXPECT_EQ(out, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  ASSERT_EQ(wideToUtf8(U"", 0, &out), WideConversion::kOk);
  EXPECT_EQ(out, "");
}

TEST(WideToUtf8Test, RefusesInvalidUnitsRatherThanSkippingThem) {
  std::string out = "stale";
  std::u32string surrogate = U"a";
  surrogate.push_back(0xD800);
  EXPECT_EQ(wideToUtf8(surrogate, 1023, &out), WideConversion::kInvalidUnit);
  EXPECT_EQ(out, "");
  std::u32string tooBig = U"a";
  tooBig.push_back(0x110000);
  EXPECT_EQ(wideToUtf8(tooBig, 1023, &out), WideConversion::kInvalidUnit);
  std::u32string negative;
  negative.push_back(static_cast<char32_t>(0xFFFFFFFF));  // a negative wide character
  EXPECT_EQ(wideToUtf8(negative, 1023, &out), WideConversion::kInvalidUnit);
  EXPECT_NE(std::string(wideConversionProblem(WideConversion::kInvalidUnit)), "");
}

TEST(WideToUtf8Test, RefusesTextThatDoesNotFitRatherThanCuttingIt) {
  std::string out;
  std::u32string exact(1023, U'a');
  EXPECT_EQ(wideToUtf8(exact, 1023, &out), WideConversion::kOk);
  EXPECT_EQ(out.size(), 1023u);
  EXPECT_EQ(wideToUtf8(exact + U"a", 1023, &out), WideConversion::kTooLong);
  EXPECT_EQ(out, "");
  // The limit counts bytes, not characters: 511 "é" need 1022 bytes.
  std::u32string wide(511, U'\u00e9');
  EXPECT_EQ(wideToUtf8(wide, 1022, &out), WideConversion::kOk);
  EXPECT_EQ(wideToUtf8(wide, 1021, &out), WideConversion::kTooLong);
}

TEST(Utf8ToWideTest, DecodesAndRejectsMalformedInput) {
  std::u32string out;
  ASSERT_TRUE(utf8ToWide("caf\xc3\xa9 \xf0\x9f\x98\x80", &out));
  EXPECT_EQ(out, U"caf\u00e9 \U0001F600");
  EXPECT_FALSE(utf8ToWide("\xc3", &out));              // cut short
  EXPECT_FALSE(utf8ToWide("\xc0\xaf", &out));          // overlong "/"
  EXPECT_FALSE(utf8ToWide("\xed\xa0\x80", &out));      // surrogate
  EXPECT_FALSE(utf8ToWide("\xf4\x90\x80\x80", &out));  // above 0x10FFFF
  EXPECT_FALSE(utf8ToWide("\xff", &out));
  EXPECT_TRUE(out.empty());
}

TEST(TimezoneNameTest, AcceptsRealNames) {
  for (const char* name : {"Europe/Berlin", "America/Argentina/Buenos_Aires", "Etc/GMT+5", "Etc/GMT-14", "UTC",
                           "America/Port-au-Prince", "right/UTC", "Asia/Ust-Nera", "EST5EDT"}) {
    EXPECT_EQ(timezoneNameProblem(name), nullptr) << name;
  }
}

TEST(TimezoneNameTest, RefusesEmptyUnsafeAndTraversingNames) {
  for (const char* name : {"", "; rm -rf /", "$(id)", "`id`", "a\nb", "Europe/Berlin\"; id; \"", "a b", "a\\b",
                           "Europe/Berlin'", "../../etc/shadow", "Europe/..", "Eur..ope", "\xc3\xa9", "a|b", "a&b"}) {
    EXPECT_NE(timezoneNameProblem(name), nullptr) << name;
  }
  EXPECT_NE(timezoneNameProblem(std::string_view("a\0b", 3)), nullptr);
}
