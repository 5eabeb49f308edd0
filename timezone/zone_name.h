// The check that a timezone name is safe to hand to timedatectl.
#pragma once

#include <string_view>

// Checks a timezone name before it goes into a timedatectl command line.
// Returns nullptr when `name` is acceptable: non-empty, only ASCII letters,
// digits and / _ + . -, and no "..". Otherwise returns a short English
// reason for the log.
const char* timezoneNameProblem(std::string_view name);
