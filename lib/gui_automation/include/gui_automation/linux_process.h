// The Linux processes behind Wine's, for the benchmarks' CPU figures. Wine
// does not account CPU time per Windows process, so the times come from the
// Linux side: /proc, seen through Wine's Z: drive.
#pragma once

#include <string>

namespace automation {

// The Linux process whose command line contains `needle` (and whose
// environment contains `environment`, when given); its pid, or empty.
std::string FindLinuxProcess(const std::string& needle, const std::string& environment = "");
// User and system time of a Linux process, in seconds; 0 when it is not found.
double CpuSeconds(const std::string& pid);

}  // namespace automation
