#include "gui_automation/linux_process.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "gui_automation/files.h"

namespace automation {
namespace {

std::string ProcFile(const std::string& pid, const char* name) {
  return ReadWholeFile("Z:\\proc\\" + pid + "\\" + name);
}

}  // namespace

std::string FindLinuxProcess(const std::string& needle, const std::string& environment) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA("Z:\\proc\\*", &entry);
  if (search == INVALID_HANDLE_VALUE) return "";
  std::string found;
  do {
    const std::string pid = entry.cFileName;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = ProcFile(pid, "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find(needle) == std::string::npos) continue;
    if (!environment.empty() && ProcFile(pid, "environ").find(environment) == std::string::npos) continue;
    found = pid;
  } while (found.empty() && FindNextFileA(search, &entry));
  FindClose(search);
  return found;
}

// utime and stime, the 14th and 15th fields of /proc/PID/stat, in clock
// ticks of 1/100 s.
double CpuSeconds(const std::string& pid) {
  if (pid.empty()) return 0;
  const std::string stat = ProcFile(pid, "stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < stat.size()) {
    const std::size_t end = stat.find(' ', at);
    fields.push_back(stat.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) / 100.0;
}

}  // namespace automation
