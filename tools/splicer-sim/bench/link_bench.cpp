// Throughput of the USB link in the real Seamlog.exe, fed by the simulated
// splicer at 64 bytes per read. Not a test: it measures and reports.
//
//   seamlog-link-bench --seamlog EXE --sim-dll DLL --reportgen EXE --work DIR
//                      [--records N] [--seconds S] [--hold-journal 1] [--tick-ms T]
//
// --tick-ms 15.6 runs the poll timer throttled to that period, as on a system
// whose timer keeps its coarse resolution; --seamlog must then be the test
// build, SeamlogTestHook.exe (the shipped program ignores the setting).
//
// Three phases, each measured on the Seamlog process:
//   1. not connected (the splicer refuses every open): CPU share while idle;
//   2. receiving a generated MODEL-A report: bytes/s, poll ticks/s, CPU share,
//      and how long the window takes to answer a message meanwhile;
//   3. connected with nothing to read: ticks/s and CPU share.
// Tick counts and times come from the simulator's call log. Each run starts
// without a capture journal; with --hold-journal 1 the benchmark holds
// Seamlog.journal itself, so Seamlog writes none (it says so once, and the
// benchmark dismisses the message): the link without the journal's cost.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "control_ids.h"
#include "gui_automation/checks.h"
#include "gui_automation/controls.h"
#include "gui_automation/files.h"
#include "gui_automation/linux_process.h"
#include "gui_automation/program.h"
#include "gui_automation/screenshot.h"
#include "gui_automation/seamlog_windows.h"

namespace ids = seamlog::shell::ids;
using namespace automation;

namespace {

struct Options {
  std::string seamlog, simDll, reportgen, work;
  int records = 1000;
  int seconds = 5;
  bool holdJournal = false;
  std::string tickMs;
};

struct Cpu {
  std::string seamlog, server;
  double Seamlog() const { return CpuSeconds(seamlog); }
  double Server() const { return CpuSeconds(server); }
};

Cpu FindCpu(const Options& o) {
  Cpu cpu;
  cpu.seamlog = FindLinuxProcess(o.work + "\\Seamlog.exe");
  char prefix[MAX_PATH] = {};
  GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
  cpu.server = FindLinuxProcess("wineserver", std::string("WINEPREFIX=") + prefix);
  return cpu;
}

// The value of `key=` on the first log line that starts with `event`.
long long LogValue(const std::string& log, const std::string& event, const std::string& key) {
  std::size_t at = 0;
  while (at < log.size()) {
    const std::size_t end = log.find('\n', at);
    const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.rfind(event, 0) == 0) {
      const std::size_t k = line.find(" " + key + "=");
      if (k != std::string::npos) return std::stoll(line.substr(k + key.size() + 2));
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return -1;
}

void WriteSettings(const Options& o, int refuse) {
  WriteWholeFile(o.work + "\\PortlineSim.ini", "[Splicer]\r\nReportFile=report.raw\r\nBytesPerRead=64\r\nCallLog=calls.log\r\n"
                                               "RefuseCreates=" + std::to_string(refuse) + "\r\n");
  DeleteFileA((o.work + "\\calls.log").c_str());
}

// A fresh journal for every run, or one held here so that Seamlog cannot write it.
class JournalHolder {
 public:
  explicit JournalHolder(const Options& o) : path_(o.work + "\\Seamlog.journal") {
    DeleteFileA(path_.c_str());
    if (!o.holdJournal) return;
    held_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held_ == INVALID_HANDLE_VALUE) Fail("cannot hold " + path_);
  }
  ~JournalHolder() {
    if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
  }
  bool Held() const { return held_ != INVALID_HANDLE_VALUE; }

 private:
  std::string path_;
  HANDLE held_ = INVALID_HANDLE_VALUE;
};

HWND StartAndChooseModel(Program& program, const JournalHolder& journal) {
  HWND main = StartWithOfferedModel(program);
  if (journal.Held()) {
    HWND box = nullptr;
    if (!WaitFor([&] { return (box = program.FindDialogSaying("capture journal")) != nullptr; }, 10000))
      Fail("Seamlog did not say that it cannot write the held journal");
    Click(box, IDOK);
  }
  return main;
}

double Percent(double cpu, double wall) { return wall > 0 ? 100.0 * cpu / wall : 0; }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--seamlog") o.seamlog = WindowsPath(value);
    else if (key == "--sim-dll") o.simDll = WindowsPath(value);
    else if (key == "--reportgen") o.reportgen = WindowsPath(value);
    else if (key == "--work") o.work = WindowsPath(value);
    else if (key == "--records") o.records = std::stoi(value);
    else if (key == "--seconds") o.seconds = std::stoi(value);
    else if (key == "--hold-journal") o.holdJournal = value == "1";
    else if (key == "--tick-ms") o.tickMs = value;
  }
  if (o.seamlog.empty() || o.simDll.empty() || o.reportgen.empty() || o.work.empty()) {
    std::fprintf(stderr, "usage: seamlog-link-bench --seamlog EXE --sim-dll DLL --reportgen EXE --work DIR "
                         "[--records N] [--seconds S] [--hold-journal 1] [--tick-ms T]\n");
    return 2;
  }
  if (!o.tickMs.empty()) SetEnvironmentVariableA("SEAMLOG_TEST_TICK_MS", o.tickMs.c_str());
  try {
    MakeDirectories(o.work);
    CopyFileA(o.seamlog.c_str(), (o.work + "\\Seamlog.exe").c_str(), FALSE);
    CopyFileA(o.simDll.c_str(), (o.work + "\\PortlineUSB.dll").c_str(), FALSE);
    const std::string report = o.work + "\\report.raw";
    if (RunProcess("\"" + o.reportgen + "\" --model MODEL-A --records " + std::to_string(o.records) + " --raw \"" +
                   report + "\"", 120000) != 0)
      Fail("seamlog-reportgen failed");
    const std::size_t bytes = ReadWholeFile(report).size();
    const DWORD idleMs = static_cast<DWORD>(o.seconds) * 1000;

    // 1. Not connected.
    double idleShare = 0, idleServer = 0;
    {
      WriteSettings(o, 1000000);
      JournalHolder journal(o);
      Program program(o.work + "\\Seamlog.exe");
      HWND main = StartAndChooseModel(program, journal);
      const Cpu cpu = FindCpu(o);
      if (cpu.seamlog.empty()) Fail("cannot find Seamlog.exe among the Linux processes");
      Sleep(1500);
      const double cpu0 = cpu.Seamlog(), server0 = cpu.Server();
      Sleep(idleMs);
      idleShare = Percent(cpu.Seamlog() - cpu0, o.seconds);
      idleServer = Percent(cpu.Server() - server0, o.seconds);
      ExitSeamlog(program, main, 20000);
    }

    // 2. Receiving, then 3. connected with nothing to read.
    WriteSettings(o, 0);
    JournalHolder journal(o);
    Program program(o.work + "\\Seamlog.exe");
    HWND main = StartAndChooseModel(program, journal);
    const Cpu cpu = FindCpu(o);
    const std::string logPath = o.work + "\\calls.log";
    if (!WaitFor([&] { return ReadWholeFile(logPath).find("create 0") != std::string::npos; }, 10000, 2))
      Fail("the program never connected");
    const double cpuConnect = cpu.Seamlog(), serverConnect = cpu.Server();
    std::vector<double> latencies;
    while (ReadWholeFile(logPath).find("finished") == std::string::npos) {
      const ULONGLONG sent = GetTickCount64();
      LARGE_INTEGER f, a, b;
      QueryPerformanceFrequency(&f);
      QueryPerformanceCounter(&a);
      DWORD_PTR ignored = 0;
      SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
      QueryPerformanceCounter(&b);
      latencies.push_back(1000.0 * static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart));
      if (GetTickCount64() - sent < 50) Sleep(50);
      if (latencies.size() > 20 * 600) Fail("the report did not finish within ten minutes");
    }
    const double cpuFinish = cpu.Seamlog(), serverFinish = cpu.Server();
    Sleep(idleMs);
    const double cpuIdleEnd = cpu.Seamlog(), serverIdleEnd = cpu.Server();
    ExitSeamlog(program, main, 20000);

    const std::string log = ReadWholeFile(logPath);
    const long long tConnect = LogValue(log, "create 0", "t");
    const long long tFinish = LogValue(log, "finished", "t");
    const long long readsFinish = LogValue(log, "finished", "reads");
    const long long tClose = LogValue(log, "close 0", "t");
    const long long readsClose = LogValue(log, "close 0", "reads");
    const double transferS = static_cast<double>(tFinish - tConnect) / 1000.0;
    const double idleS = static_cast<double>(tClose - tFinish) / 1000.0;
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies.empty() ? 0 : latencies[latencies.size() / 2];
    const double worst = latencies.empty() ? 0 : latencies.back();

    std::printf("Seamlog link benchmark (simulated splicer, 64 bytes per read)\n");
    std::printf("  report                     %zu bytes, %d MODEL-A records\n", bytes, o.records);
    std::printf("  poll tick                  %s\n",
                o.tickMs.empty() ? "native" : (o.tickMs + " ms (throttled)").c_str());
    std::printf("  capture journal            %s\n",
                o.holdJournal ? "held by the benchmark: not written" : "written");
    std::printf("  receiving                  %.2f s\n", transferS);
    std::printf("  throughput                 %.0f bytes/s\n", static_cast<double>(bytes) / transferS);
    std::printf("  poll ticks while receiving %.0f ticks/s\n", static_cast<double>(readsFinish) / transferS);
    std::printf("  CPU while receiving        %.1f %% of one core (Wine server %.1f %%)\n",
                Percent(cpuFinish - cpuConnect, transferS), Percent(serverFinish - serverConnect, transferS));
    std::printf("  window answers (WM_NULL)   median %.1f ms, worst %.1f ms (%zu probes)\n", median, worst,
                latencies.size());
    std::printf("  connected, nothing to read %.0f ticks/s, CPU %.1f %% of one core (Wine server %.1f %%)\n",
                static_cast<double>(readsClose - readsFinish) / idleS,
                Percent(cpuIdleEnd - cpuFinish, static_cast<double>(idleMs) / 1000.0),
                Percent(serverIdleEnd - serverFinish, static_cast<double>(idleMs) / 1000.0));
    std::printf("  not connected (idle)       CPU %.2f %% of one core (Wine server %.2f %%)\n", idleShare,
                idleServer);
    std::printf("  (CPU from /proc; the Wine server serves every Wine process of the prefix, this one included)\n");
  } catch (const Fatal& fatal) {
    std::printf("benchmark failed: %s\n", fatal.what.c_str());
    return 1;
  }
  return 0;
}
