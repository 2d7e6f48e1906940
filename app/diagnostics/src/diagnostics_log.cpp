#include "seamlog/diagnostics/diagnostics_log.h"

#include <cstdio>

namespace seamlog::diagnostics {
namespace {

// A line never grows past this, whatever a file name or reason holds.
constexpr std::size_t kMaxEventLength = 2000;

// One event is one line: line breaks and other control characters in names
// and reasons become spaces.
std::string OneLine(std::string_view text) {
  std::string line(text.substr(0, kMaxEventLength));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return line;
}

const char* OutcomeName(SaveOutcome outcome) {
  switch (outcome) {
    case SaveOutcome::Completed:
      return "completed";
    case SaveOutcome::Failed:
      return "failed";
    case SaveOutcome::Stopped:
      return "stopped";
    case SaveOutcome::NothingToSave:
      return "nothing to save";
  }
  return "?";
}

}  // namespace

DiagnosticsLog::DiagnosticsLog(LogFiles& files, LogClock& clock) : files_(files), clock_(clock) {}

DiagnosticsLog::~DiagnosticsLog() { WriteHeldBackOpens(); }

std::string DiagnosticsLog::Stamp() {
  const LocalTime t = clock_.Now();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.millisecond);
  return text;
}

void DiagnosticsLog::Write(std::string_view event) {
  const std::string line = Stamp() + "  " + OneLine(event) + "\r\n";
  const std::unique_ptr<LogFileLock> held = files_.Lock(kLogFileName);
  if (!held) {
    working_ = false;
    return;
  }
  const std::uint64_t size = files_.SizeOf(kLogFileName);
  if (size > 0 && size + line.size() > kRotateAtBytes && !TurnOver()) {
    working_ = false;  // a full log that can neither turn over nor be emptied takes no more
    return;
  }
  working_ = files_.Append(kLogFileName, line);
}

// Renames the full log to Seamlog.log.1. When Seamlog.log.1 cannot be
// replaced (a folder of that name, a file held open elsewhere), the log is
// emptied and starts with a line saying why. False when neither can be done.
bool DiagnosticsLog::TurnOver() {
  if (files_.MoveReplacing(kLogFileName, kOldLogFileName)) return true;
  if (!files_.Empty(kLogFileName)) return false;
  return files_.Append(kLogFileName, Stamp() + "  " + std::string(kTurnOverFailed) + "\r\n");
}

void DiagnosticsLog::WriteHeldBackOpens() {
  if (!inFailedOpenRun_) return;
  inFailedOpenRun_ = false;
  if (failedOpenRepeats_ == 0) return;
  Write("open failed " + std::to_string(failedOpenRepeats_) + " more times with result " +
        std::to_string(failedOpenResult_) + " since " + failedOpenSince_);
}

void DiagnosticsLog::Started(std::string_view version, std::string_view model) {
  WriteHeldBackOpens();
  Write("start: Seamlog " + std::string(version) + ", model " + std::string(model));
}

void DiagnosticsLog::Exiting() {
  WriteHeldBackOpens();
  Write("exit");
}

void DiagnosticsLog::OpenAttempt(std::int32_t result, std::int32_t status) {
  if (result != 0 && inFailedOpenRun_ && result == failedOpenResult_ && status == failedOpenStatus_) {
    ++failedOpenRepeats_;
    return;
  }
  WriteHeldBackOpens();
  if (result != 0) {
    Write("open failed: result " + std::to_string(result) +
          (status != 0 ? ", status " + std::to_string(status) : std::string()));
    inFailedOpenRun_ = true;
    failedOpenResult_ = result;
    failedOpenStatus_ = status;
    failedOpenRepeats_ = 0;
    failedOpenSince_ = Stamp();
    return;
  }
  ++connection_;
  received_ = 0;
  sent_ = 0;
  Write("open: result 0, connection " + std::to_string(connection_));
}

void DiagnosticsLog::ReadFailed(std::int32_t result) {
  WriteHeldBackOpens();
  Write("read failed: result " + std::to_string(result));
}

void DiagnosticsLog::WriteFailed(std::int32_t result) {
  WriteHeldBackOpens();
  Write("write failed: result " + std::to_string(result));
}

void DiagnosticsLog::Closed(std::int32_t result) {
  WriteHeldBackOpens();
  Write("close: result " + std::to_string(result) + ", connection " + std::to_string(connection_) +
        " received " + std::to_string(received_) + " bytes, sent " + std::to_string(sent_) + " bytes");
  received_ = 0;
  sent_ = 0;
}

void DiagnosticsLog::Saved(const SaveEntry& save) {
  WriteHeldBackOpens();
  std::string event = "save: " + std::string(OutcomeName(save.outcome)) + ", file \"" + save.file +
                      "\", model " + save.model + ", " + std::to_string(save.records) + " records";
  if (!save.reason.empty()) event += ", reason: " + save.reason;
  Write(event);
}

void DiagnosticsLog::JournalRecovered(std::size_t characters, std::size_t droppedBytes,
                                      std::string_view setAsidePath) {
  WriteHeldBackOpens();
  std::string event = "journal: recovered " + std::to_string(characters) + " characters";
  if (!setAsidePath.empty())
    event += ", damaged journal kept as \"" + std::string(setAsidePath) + "\" (" +
             std::to_string(droppedBytes) + " bytes not read back)";
  Write(event);
}

void DiagnosticsLog::JournalProblem(std::string_view problem) {
  WriteHeldBackOpens();
  Write("journal: " + std::string(problem));
}

}  // namespace seamlog::diagnostics
