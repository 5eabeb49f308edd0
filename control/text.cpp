#include "control/text.h"

namespace {

bool isUnicodeScalar(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

size_t utf8Length(char32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000) return 3;
  return 4;
}

void appendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

WideConversion wideToUtf8(std::u32string_view units, size_t maxBytes, std::string* out) {
  out->clear();
  // Measure first so a refused text never leaves a partial result behind.
  size_t needed = 0;
  for (char32_t c : units) {
    if (!isUnicodeScalar(c)) return WideConversion::kInvalidUnit;
    needed += utf8Length(c);
    if (needed > maxBytes) return WideConversion::kTooLong;
  }
  out->reserve(needed);
  for (char32_t c : units) appendUtf8(c, out);
  return WideConversion::kOk;
}

const char* wideConversionProblem(WideConversion result) {
  switch (result) {
    case WideConversion::kOk:
      return "";
    case WideConversion::kInvalidUnit:
      return "the text holds a unit that is not a Unicode character";
    case WideConversion::kTooLong:
      return "the text is too long";
  }
  return "the text cannot be converted";
}

bool utf8ToWide(std::string_view text, std::u32string* out) {
  out->clear();
  std::u32string result;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    size_t len;
    char32_t c;
    if (b < 0x80) {
      len = 1;
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      c = b & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      c = (c << 6) | (cont & 0x3F);
    }
    // Overlong forms would let one character hide behind another spelling.
    if (utf8Length(c) != len || !isUnicodeScalar(c)) return false;
    result.push_back(c);
    i += len;
  }
  *out = std::move(result);
  return true;
}

bool splitArguments(std::string_view text, std::vector<std::string>* words) {
  words->clear();
  std::vector<std::string> result;
  std::string word;
  bool inWord = false;  // a word has begun (an empty quoted word counts)
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (isBlank(c)) {
      if (inWord) result.push_back(std::move(word));
      word.clear();
      inWord = false;
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) return false;
      word.push_back(text[i + 1]);
      inWord = true;
      i += 2;
    } else if (c == '\'') {
      size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) return false;
      word.append(text.substr(i + 1, close - i - 1));
      inWord = true;
      i = close + 1;
    } else if (c == '"') {
      ++i;
      for (;;) {
        if (i >= text.size()) return false;
        char d = text[i];
        if (d == '"') break;
        if (d == '\\' && i + 1 < text.size()) {
          char e = text[i + 1];
          if (e == '\\' || e == '"' || e == '$' || e == '`' || e == '\n') {
            word.push_back(e);
            i += 2;
            continue;
          }
        }
        word.push_back(d);
        ++i;
      }
      inWord = true;
      ++i;  // the closing quote
    } else {
      word.push_back(c);
      inWord = true;
      ++i;
    }
  }
  if (inWord) result.push_back(std::move(word));
  *words = std::move(result);
  return true;
}

std::string quoteArgument(std::string_view word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

std::string joinArguments(const std::vector<std::string>& words) {
  std::string joined;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) joined.push_back(' ');
    joined += quoteArgument(words[i]);
  }
  return joined;
}
