#pragma once
// The report's summary for other tools: job, limits, figures, the
// over-limit fibers and the problems met, as one JSON object.
#include <string>

#include "seamlog/report/html_report.h"

namespace seamlog::report {

// Losses are numbers in dB with up to four decimals; a figure without a value
// is null. Text from the tables is taken as windows-1252.
std::string JsonSummary(const ReportContent& content);

}  // namespace seamlog::report
