// Writes a validation report as a JUnit XML file, for CI systems that show
// them, valid under the strict (Ant) JUnit schema but for <skipped>, which
// that schema lacks: one test case per check with its own time, failures
// with their replay command, skipped checks with their reason, warnings in
// the suite's <system-out>, and the seed as a property.
#pragma once

#include "reports/check_report.h"
