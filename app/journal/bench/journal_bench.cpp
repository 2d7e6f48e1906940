// Cost of the journal in one poll tick: appending a 64-byte read (as text)
// with the flush it brings every half second, with 20 KB and 20 MB already
// in the journal. Also the rewrite after a save. Not a test: it measures and
// prints. Runs on the host and, built for Windows, under Wine.
//
//   seamlog_journal_bench [FOLDER] [TICKS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "seamlog/journal/capture_journal.h"

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
  std::printf("tick with %9zu bytes journaled: mean %7.2f us, median %6.2f us, 99.9%% %8.1f us, max %8.1f us"
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

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path() / "seamlog-journal-bench";
  const int ticks = argc > 2 ? std::atoi(argv[2]) : 20000;
  std::filesystem::create_directories(folder);
  MeasureTicks(folder, 20 << 10, ticks);
  MeasureTicks(folder, 20 << 20, ticks);
  MeasureDropSaved(folder, 20 << 20, 0);
  MeasureDropSaved(folder, 20 << 20, 600);
  MeasureDropSaved(folder, 20 << 20, 64 << 10);
  std::filesystem::remove_all(folder);
  return 0;
}
