// Text handling for client-supplied request fields: wide-to-UTF-8
// conversion and splitting an argument text into words without a shell.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Outcome of converting a wide text to UTF-8.
enum class WideConversion {
  kOk,           // `out` holds the whole text
  kInvalidUnit,  // a unit is a surrogate (0xD800..0xDFFF) or above 0x10FFFF
  kTooLong,      // the whole text needs more than `maxBytes` bytes
};

// Converts `units` (code points, no terminator) to UTF-8 into `out`. The
// result is never cut: a text that does not fit in `maxBytes` bytes is
// refused as a whole. ASCII comes out as the same bytes as the C locale's
// conversion. On failure `out` is left empty.
WideConversion wideToUtf8(std::u32string_view units, size_t maxBytes, std::string* out);

// Short English reason for a failed conversion ("" for kOk), for log lines.
const char* wideConversionProblem(WideConversion result);

// Decodes UTF-8 `text` into code points. Returns false (and leaves `out`
// empty) for malformed UTF-8, overlong forms, surrogates and values above
// 0x10FFFF.
bool utf8ToWide(std::string_view text, std::u32string* out);

// Splits an argument text into words the way a POSIX shell would split a
// simple command without expanding anything: blanks (space, tab, newline)
// separate words; single quotes keep everything up to the next single quote;
// double quotes keep everything up to the next unescaped double quote, where
// a backslash escapes only \ " $ ` and newline; outside quotes a backslash
// makes the next character literal. Every other character, including
// ; | & < > $ ` ( ) * ? and #, is an ordinary character of a word.
// Returns false (and leaves `words` empty) when a quote is left open or the
// text ends with a lone backslash.
bool splitArguments(std::string_view text, std::vector<std::string>* words);

// Quotes `word` so that splitArguments gives it back unchanged as one word
// (single quotes, with embedded single quotes written as '\'').
std::string quoteArgument(std::string_view word);

// Joins `words` with single blanks, each quoted by quoteArgument.
std::string joinArguments(const std::vector<std::string>& words);
