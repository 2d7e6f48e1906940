#pragma once
// The job file (job.ini): who the report is for, and its limits.
//
//   [Job]
//   Job=Ring 4, closure 17
//   Location=Main St / 5th Ave
//   Operator=A. Splicer
//   Customer=City Fibre
//   Notes=Re-spliced fibers marked.
//   Limit=0.20
//   Warning=0.10
//   AverageLimit=0.10
//
// Keys are matched without regard to case; blank lines and lines beginning
// with ";" or "#" are skipped. Limits are in dB.
#include <optional>
#include <string_view>
#include <vector>

#include "seamlog/report/html_report.h"

namespace seamlog::report {

struct JobFile {
  JobDetails job;
  std::optional<Decimal> limit, warning, averageLimit;
};

// Reads text as a job file named source; every line it cannot use is a problem.
JobFile ParseJobFile(std::string_view source, std::string_view text, std::vector<ReadProblem>& problems);

}  // namespace seamlog::report
