// The session in the Trace Event format that Chrome's tracing page and
// Perfetto open: each step of the script a slice, each call into the module
// and each callback a slice nested in the one it happened in, the
// timeline's other lines (sets, keys, expectations, a crash) as instants.
//
// Time stamps are the session clock's milliseconds. The clock counts whole
// milliseconds (and a virtual clock stands still between waits), so the
// points within one millisecond are spread evenly across it in the order
// they happened: slices keep their nesting and their order.
#pragma once

#include "session_record.h"

#include <nlohmann/json.hpp>
#include <string>

nlohmann::json ChromeTraceJson(const SessionRecord& record);

// Returns false when the file cannot be written.
bool WriteChromeTrace(const std::string& path, const SessionRecord& record);
