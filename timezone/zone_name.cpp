#include "timezone/zone_name.h"

const char* timezoneNameProblem(std::string_view name) {
  if (name.empty()) return "the timezone name is empty";
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
              c == '_' || c == '+' || c == '.' || c == '-';
    if (!ok) return "the timezone name holds a character other than letters, digits and / _ + . -";
  }
  if (name.find("..") != std::string_view::npos) return "the timezone name holds \"..\"";
  return nullptr;
}
