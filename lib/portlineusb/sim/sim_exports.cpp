// PortlineUSB.dll for the demo and the end-to-end tests: the four device
// library functions, backed by a simulated splicer that replays a report.
// Its settings come from PortlineSim.ini in the DLL's own folder; problems with
// them are written to PortlineSim.log there, and every create fails until the
// settings are fixed.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>

#include "sim_settings.h"
#include "splicer_replay.h"

namespace portline::sim {
namespace {

constexpr std::int32_t kBadSettings = kCreateNotConfigured;

std::mutex lock;
std::unique_ptr<SplicerReplay> splicer;
std::filesystem::path callLog;

std::filesystem::path OwnFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&OwnFolder), &self);
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(self, path, static_cast<DWORD>(std::size(path)));
  return std::filesystem::path(path).parent_path();
}

bool ReadWhole(const std::filesystem::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void AppendLine(const std::filesystem::path& path, const std::string& line) {
  if (path.empty()) return;
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << line << "\r\n";
}

void Note(const std::string& line) { AppendLine(callLog, line); }

// Loads the settings and the report on first use; false (with the reason in
// PortlineSim.log) when they are not usable.
bool Ready() {
  if (splicer != nullptr) return true;
  const std::filesystem::path folder = OwnFolder();
  const std::filesystem::path problems = folder / "PortlineSim.log";
  std::string ini;
  if (!ReadWhole(folder / "PortlineSim.ini", ini)) {
    AppendLine(problems, "error: cannot read " + (folder / "PortlineSim.ini").string());
    return false;
  }
  const ParsedSettings parsed = ParseSimSettings(ini);
  if (!parsed.Usable()) {
    AppendLine(problems, "error: PortlineSim.ini: " + parsed.error);
    return false;
  }
  std::filesystem::path reportPath(parsed.settings.reportFile);
  if (reportPath.is_relative()) reportPath = folder / reportPath;
  std::string report;
  if (!ReadWhole(reportPath, report)) {
    AppendLine(problems, "error: cannot read the report file " + reportPath.string());
    return false;
  }
  if (!parsed.settings.callLog.empty()) {
    callLog = parsed.settings.callLog;
    if (callLog.is_relative()) callLog = folder / callLog;
  }
  splicer = std::make_unique<SplicerReplay>(std::vector<std::uint8_t>(report.begin(), report.end()),
                                            parsed.settings);
  Note("loaded " + reportPath.filename().string() + " bytes=" + std::to_string(report.size()));
  return true;
}

std::string Summary() {
  const ReplayStats& s = splicer->Stats();
  std::ostringstream out;
  out << "t=" << GetTickCount64() << " reads=" << s.reads << " data_reads=" << s.dataReads << " position=" << splicer->Position();
  return out.str();
}

}  // namespace
}  // namespace portline::sim

using namespace portline::sim;

extern "C" std::int32_t __stdcall PortlineUsbCreateDevice(std::int32_t* handle, std::int32_t* status,
                                                          std::int32_t* found) {
  std::lock_guard<std::mutex> guard(lock);
  if (handle == nullptr) return kBadSettings;
  if (!Ready()) return kBadSettings;
  const std::int32_t result = splicer->Create(*handle);
  if (status != nullptr) *status = result;
  if (found != nullptr) *found = 1;
  Note(result == 0 ? "create 0 " + Summary() : "create refused " + std::to_string(result));
  return result;
}

extern "C" std::int32_t __stdcall PortlineUsbReadFile(std::int32_t* handle, std::uint8_t* buffer) {
  std::lock_guard<std::mutex> guard(lock);
  if (splicer == nullptr || handle == nullptr || buffer == nullptr) return kFailure;
  const bool wasUnplugged = splicer->Unplugged();
  const std::int32_t result = splicer->Read(*handle, buffer);
  if (result == kFailure && !wasUnplugged && splicer->Unplugged()) Note("unplugged " + Summary());
  // A stalled pipe is cleared before the failure is reported, as the real
  // library does through the driver.
  if (result == kFailure && splicer->ResetPipe()) {
    Note("stalled " + Summary());
    Note("reset pipe");
  }
  if (result > 0 && splicer->Finished()) Note("finished " + Summary());
  return result;
}

extern "C" std::int32_t __stdcall PortlineUsbWriteFile(std::int32_t* handle, std::uint8_t* bytes,
                                                       std::int32_t* count) {
  std::lock_guard<std::mutex> guard(lock);
  if (splicer == nullptr || handle == nullptr || bytes == nullptr || count == nullptr) return kFailure;
  const std::int32_t result = splicer->Write(*handle, bytes, *count);
  Note("write " + std::to_string(result));
  return result;
}

extern "C" std::int32_t __stdcall PortlineUsbCloseDevice(std::int32_t* handle) {
  std::lock_guard<std::mutex> guard(lock);
  if (splicer == nullptr || handle == nullptr) return kFailure;
  const std::int32_t result = splicer->Close(*handle);
  Note((result == 0 ? "close 0 " : "close stray ") + Summary());
  return result;
}
