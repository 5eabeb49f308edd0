// The check that a timezone name is safe to hand to timedatectl.
#pragma once

#include <string_view>

// Checks a timezone name before it goes into a timedatectl command line.
// Returns nullptr when `name` is acceptable as systemd accepts zone names:
// only ASCII letters, digits and / _ + -, beginning with a letter (so never
// with "/" or "-"), no empty component ("//" or a trailing "/"); with no "."
// there is no ".." component either. Otherwise returns a short English
// reason for the log.
const char* timezoneNameProblem(std::string_view name);
