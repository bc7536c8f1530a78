// Writes a validation report as a JUnit XML file, for CI systems that show
// them: one test case per check, failures with their replay command,
// skipped checks with their reason, and the seed as a property.
#pragma once

#include "reports/check_report.h"
