// The window's task text: what the run does now (a file's name), and beside it what the player
// wants to know of the whole update: bytes done of bytes to fetch, the time left and the rate, or
// that an installed file is being read to tell whether it differs. The line is one text box of a
// skin, so the whole is cut to its columns: the update's figures first, the file's name gets what
// is left.
#pragma once

#include <string>

#include "update/fetch_totals.h"

// bytes_per_second: 0 while not known. columns: a character outside ASCII takes two.
std::string TaskLine(const std::string& task, const FetchFigures& fetch, double bytes_per_second,
                     int columns);
