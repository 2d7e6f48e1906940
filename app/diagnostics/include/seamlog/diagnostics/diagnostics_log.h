// Seamlog.log in the program's directory: what support needs to understand a
// splicer that "does nothing". One line per event, each beginning with the
// local date and time; the file is renamed to Seamlog.log.1 (replacing an
// older one) before a line would take it past kRotateAtBytes. Each line is
// written with the log locked, so that of several writers (two Seamlog
// windows) who find it full only one renames it. When Seamlog.log.1 cannot be
// replaced, Seamlog.log is emptied instead, with a line saying so: the two
// files never take more than 2 * kRotateAtBytes.
//
// Events are rare (start, open, close, failures, saves); the poll tick only
// adds to a byte counter, and the counts are written when the device closes.
// A log that cannot be written never disturbs the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "seamlog/diagnostics/log_files.h"

namespace seamlog::diagnostics {

inline constexpr std::string_view kLogFileName = "Seamlog.log";
inline constexpr std::string_view kOldLogFileName = "Seamlog.log.1";
inline constexpr std::uint64_t kRotateAtBytes = 1024 * 1024;
// The line that begins a log emptied because it could not be turned over.
inline constexpr std::string_view kTurnOverFailed =
    "log: Seamlog.log.1 could not be replaced; Seamlog.log was emptied to keep the log within 2 MB";

enum class SaveOutcome {
  Completed,  // "Data save completed."
  Failed,     // "Data save failed."
  Stopped,    // the converter stopped at a record without its heading lines
  NothingToSave,
};

struct SaveEntry {
  std::string file;  // the chosen file; empty when no file was chosen
  std::string model;
  std::int64_t records = 0;
  SaveOutcome outcome = SaveOutcome::Completed;
  std::string reason;  // why it failed or stopped; empty otherwise
};

class DiagnosticsLog {
 public:
  DiagnosticsLog(LogFiles& files, LogClock& clock);
  // Writes what is still held back (repeated failed opens).
  ~DiagnosticsLog();
  DiagnosticsLog(const DiagnosticsLog&) = delete;
  DiagnosticsLog& operator=(const DiagnosticsLog&) = delete;

  // The program started with the model chosen in the model dialog.
  void Started(std::string_view version, std::string_view model);
  // The program ends.
  void Exiting();

  // Every open attempt with the library's result (0 opens). A run of failed
  // attempts with one result is written as its first line and one line with
  // the number of repeats, before the next other event.
  // status is what the library said besides its result (the real library:
  // the Windows error, e.g. 5010 for a claim another program's object took);
  // 0 when it said nothing.
  void OpenAttempt(std::int32_t result, std::int32_t status = 0);
  void ReadFailed(std::int32_t result);
  void WriteFailed(std::int32_t result);
  // Per tick: no more than an addition.
  void CountReceived(std::size_t bytes) { received_ += bytes; }
  void CountSent(std::size_t bytes) { sent_ += bytes; }
  // The device was closed; writes the connection's byte counts.
  void Closed(std::int32_t result);

  void Saved(const SaveEntry& save);

  void JournalRecovered(std::size_t characters, std::size_t droppedBytes, std::string_view setAsidePath);
  void JournalProblem(std::string_view problem);

  // False once a line could not be written (the log goes on trying).
  bool Working() const { return working_; }

 private:
  void Write(std::string_view event);
  bool TurnOver();
  void WriteHeldBackOpens();
  std::string Stamp();

  LogFiles& files_;
  LogClock& clock_;
  bool working_ = true;
  std::uint64_t connection_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t sent_ = 0;
  // A run of failed opens with one result.
  std::int32_t failedOpenResult_ = 0;
  std::int32_t failedOpenStatus_ = 0;
  std::uint64_t failedOpenRepeats_ = 0;
  bool inFailedOpenRun_ = false;
  std::string failedOpenSince_;
};

}  // namespace seamlog::diagnostics
