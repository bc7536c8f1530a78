// The validation report as JSON; its schema is in the README's validate
// section.
#include "reports/check_report.h"

#include <nlohmann/json.hpp>

#include <fstream>

bool WriteJsonReport(const std::string& path, const ValidationReport& report) {
    nlohmann::ordered_json checks = nlohmann::ordered_json::array();
    for (const CheckResult& check : report.checks) {
        nlohmann::ordered_json entry;
        entry["id"] = check.id;
        entry["status"] = CheckStatusName(check.status);
        entry["reason"] = check.reason;
        entry["alignments"] = check.alignments;
        entry["failed_alignment"] =
            check.failed_alignment ? nlohmann::ordered_json(*check.failed_alignment) : nlohmann::ordered_json();
        entry["replay"] = check.failed() || check.warned() ? nlohmann::ordered_json(report.ReplayCommand(check))
                                                            : nlohmann::ordered_json();
        checks.push_back(std::move(entry));
    }
    nlohmann::ordered_json document;
    document["module"] = report.module;
    document["back_end"] = report.back_end;
    document["seed"] = report.seed;
    document["cycles"] = report.cycles;
    document["clock"] = report.clock;
    document["strict"] = report.strict;
    document["passed"] = report.Count(CheckStatus::Passed);
    document["failed"] = report.Count(CheckStatus::Failed);
    document["skipped"] = report.Count(CheckStatus::Skipped);
    document["warned"] = report.Count(CheckStatus::Warned);
    document["checks"] = std::move(checks);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    // A module's texts may hold bytes that are not UTF-8: each becomes
    // U+FFFD, so that the file always parses.
    out << document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    out.flush();
    return static_cast<bool>(out);
}
