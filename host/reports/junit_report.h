// Writes check results as a JUnit XML report, for CI systems that show them.
#pragma once

#include <string>
#include <vector>

struct CheckResult {
    std::string name;
    bool passed = false;
    std::string detail;  // what was seen when it passed, or why it failed
};

// Returns false when the file cannot be written.
bool WriteJUnitReport(const std::string& path, const std::string& suite,
                      const std::vector<CheckResult>& results);
