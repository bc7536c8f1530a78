// How the timeline writes its lines, for every reader that shows them: the
// time stamp, the indentation of calls made inside calls, and the lines
// that have no time of their own.
#pragma once

#include "reports/session_record.h"

#include <cstddef>
#include <string>

// "   3100 ms  ": the time stamp is this wide.
inline constexpr std::size_t kTimelineStampWidth = 12;

// A recorded line as the timeline prints it: its time stamp, two blanks a
// step of depth, its text.
std::string TimelineLineText(const RecordedLine& line);
// A heading from a script's comments: "           -- TEXT".
std::string TimelineHeadingText(const std::string& text);
// A line without a time, under the text of the lines with one.
std::string TimelineAsideText(const std::string& text);
