// Cost of the journal in one poll tick: appending a 64-byte read (as text)
// with the flush it brings every half second, with 20 KB and 20 MB already
// in the journal. Also the rewrite after a save, and reading back at start:
// a journal of 20 MB and one of an earlier version four times the limit,
// with the time and (on Linux) the peak memory of each. Not a test: it
// measures and prints. Runs on the host and, built for Windows, under Wine.
//
//   seamlog_journal_bench [FOLDER] [TICKS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "seamlog/journal/capture_journal.h"
#include "seamlog/journal/journal_format.h"

namespace {

using namespace seamlog::journal;
using Clock = CaptureJournal::Clock;

// What one full read of a report becomes: 64 bytes, two CRs given their LFs.
const std::string kTickText = "Estimated Loss             :  0.14\r\nFiber Type         :   SM\r\n";

void MeasureTicks(const std::filesystem::path& folder, std::size_t alreadyReceived, int ticks) {
  std::filesystem::remove(folder / kJournalFileName);
  auto files = MakeJournalFiles(folder.string());
  CaptureJournal journal(*files);
  journal.Open();
  journal.Append(std::string(alreadyReceived, 'r'), Clock::now());
  journal.Flush();

  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(ticks));
  const auto begin = Clock::now();
  for (int i = 0; i < ticks; ++i) {
    // The journal sees one tick per millisecond, as while connected, so it
    // flushes as often as it would in use.
    const auto start = Clock::now();
    journal.Append(kTickText, begin + std::chrono::milliseconds(i));
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  std::sort(micros.begin(), micros.end());
  double total = 0;
  for (const double m : micros) total += m;
  std::printf(
      "tick with %9zu bytes journaled: mean %7.2f us, median %6.2f us, 99.9%% %8.1f us, max %8.1f us"
      " (%d ticks of 1 ms in %.2f s)%s\n",
      alreadyReceived, total / ticks, micros[micros.size() / 2], micros[micros.size() * 999 / 1000],
      micros.back(), ticks, seconds, journal.Writing() ? "" : " JOURNAL STOPPED");
}

void MeasureDropSaved(const std::filesystem::path& folder, std::size_t textBytes, std::size_t leftBytes) {
  std::filesystem::remove(folder / kJournalFileName);
  auto files = MakeJournalFiles(folder.string());
  CaptureJournal journal(*files);
  journal.Open();
  const std::string text(textBytes, 'r');
  journal.Append(text, Clock::now());
  const auto start = Clock::now();
  journal.DropSaved(text, textBytes - leftBytes);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("save of %9zu bytes leaving %7zu: journal rewrite %8.2f ms%s\n", textBytes, leftBytes, ms,
              journal.Writing() ? "" : " JOURNAL STOPPED");
}

// The process's peak resident memory in KiB since the last ResetPeak; 0
// where unknown.
long PeakKib() {
#ifdef __linux__
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word)
    if (word == "VmHWM:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
#endif
  return 0;
}
void ResetPeak() {
#ifdef __linux__
  std::ofstream("/proc/self/clear_refs") << "5";
#endif
}

// Reads back the journal file in folder; returns the seconds it took.
double MeasureRecovery(const std::filesystem::path& folder, const char* what) {
  auto files = MakeJournalFiles(folder.string());
  CaptureJournal journal(*files);
  const auto size = std::filesystem::file_size(folder / kJournalFileName);
  ResetPeak();
  const long peakBefore = PeakKib();
  const auto start = Clock::now();
  const Recovery recovery = journal.Open();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("recovery of %-36s %5ju MiB file: %7.3f s, %9zu characters back%s, peak memory +%ld KiB\n",
              what, static_cast<std::uintmax_t>(size >> 20), seconds, recovery.text.size(),
              recovery.setAsidePath.empty() ? "" : " (set aside)", PeakKib() - peakBefore);
  return seconds;
}

// A journal of version (1 or 2) holding bytes of ticks, written a tick at a time.
void WriteJournal(const std::filesystem::path& folder, int version, std::size_t bytes) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / kJournalFileName, std::ios::binary);
  out << (version == 1 ? std::string(kJournalLineV1) : JournalStart(1));
  FramePosition next{1, 0};
  std::string frames;
  for (std::size_t written = 0; written < bytes; written += kTickText.size()) {
    frames.clear();
    if (version == 1)
      AppendFramesV1(frames, kTickText);
    else
      AppendFrames(frames, kTickText, next);
    out << frames;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path folder = argc > 1
                                           ? std::filesystem::path(argv[1])
                                           : std::filesystem::temp_directory_path() / "seamlog-journal-bench";
  const int ticks = argc > 2 ? std::atoi(argv[2]) : 20000;
  std::filesystem::create_directories(folder);
  MeasureTicks(folder, 20 << 10, ticks);
  MeasureTicks(folder, 20 << 20, ticks);
  MeasureDropSaved(folder, 20 << 20, 0);
  MeasureDropSaved(folder, 20 << 20, 600);
  MeasureDropSaved(folder, 20 << 20, 64 << 10);

  WriteJournal(folder, 2, 20u << 20);
  const double baseline = MeasureRecovery(folder, "20 MB in frames of one tick");
  WriteJournal(folder, 1, 4 * kMaxJournalText);
  const double over = MeasureRecovery(folder, "an earlier version's, 4 x the limit");
  std::printf("reading back 4 x the limit takes %.2f times as long as 20 MB\n", over / baseline);
  std::filesystem::remove_all(folder);
  return 0;
}
