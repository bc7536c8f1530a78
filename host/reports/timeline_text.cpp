#include "reports/timeline_text.h"

#include <algorithm>
#include <cstdio>

std::string TimelineLineText(const RecordedLine& line) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%7ld ms  ", static_cast<long>(line.begin.ms));
    return stamp + std::string(static_cast<std::size_t>(std::max(line.depth, 0)) * 2, ' ') + line.text;
}

std::string TimelineHeadingText(const std::string& text) {
    return std::string(kTimelineStampWidth - 1, ' ') + "-- " + text;
}

std::string TimelineAsideText(const std::string& text) { return std::string(kTimelineStampWidth, ' ') + text; }
