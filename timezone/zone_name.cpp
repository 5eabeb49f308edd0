#include "timezone/zone_name.h"

namespace {

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

const char* timezoneNameProblem(std::string_view name) {
  if (name.empty()) return "the timezone name is empty";
  for (char c : name) {
    bool ok = isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '/' || c == '_' || c == '+' || c == '-';
    if (!ok) return "the timezone name holds a character other than letters, digits and / _ + -";
  }
  // Also keeps the name from ever reaching timedatectl as an option.
  if (!isAsciiLetter(name[0])) return "the timezone name does not begin with a letter";
  if (name.find("//") != std::string_view::npos || name.back() == '/')
    return "the timezone name has an empty component";
  return nullptr;
}
