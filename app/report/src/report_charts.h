#pragma once
// The charts of the report, drawn as inline SVG, each followed by the plain
// figures it shows.
#include <string>

#include "seamlog/report/html_report.h"

namespace seamlog::report {

// The estimated losses of the fibers that stand, in bins, with the warning
// and the limit marked.
void AppendLossHistogram(std::string& out, const ReportContent& content);

// Every fiber's loss in the order of the splices, to show drift.
void AppendLossBySplice(std::string& out, const ReportContent& content);

// Mean and largest loss at each fiber position of ribbon splices; nothing
// when no record has more than one fiber.
void AppendLossByFiberPosition(std::string& out, const ReportContent& content);

}  // namespace seamlog::report
