#pragma once

// chanlog's report lines, "<ms>: <text>\n", as the tests and the benchmark read them back from its
// log and its console. A received text may hold line feeds of its own, so a report can run over
// several lines: only its first begins with the time stamp.

#include <string>
#include <string_view>
#include <vector>

// Splits on line feeds; a trailing piece without one is kept.
std::vector<std::string> Lines(const std::string &text);
// The line begins with a time stamp "<digits>: ".
bool IsStamped(std::string_view line);
// What follows the time stamp of a line that IsStamped.
std::string_view StampedText(std::string_view line);
