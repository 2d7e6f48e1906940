// seamlog-capture: takes splice records from a USB-attached splicer (through
// libusb on Linux and macOS, PortlineUSB.dll on Windows) and saves them as
// Seamlog does: the same capture, journal, save, converter and log, with no
// window.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "capture_options.h"
#include "counting_library.h"
#include "platform.h"
#include "seamlog/convert/models.h"
#include "seamlog/save/table_file.h"
#include "seamlog/session/session.h"
#include "seamlog_version.h"
#include "state_folder.h"

#if defined(_WIN32)
#define SEAMLOG_STATE_FOLDER_TEXT "%LOCALAPPDATA%\\Seamlog; the splicer is reached through PortlineUSB.dll"
#define SEAMLOG_STATE_VARIABLES "LOCALAPPDATA"
#else
#define SEAMLOG_STATE_FOLDER_TEXT \
  "$XDG_STATE_HOME/seamlog (default\n~/.local/state/seamlog; macOS: ~/Library/Application Support/Seamlog)"
#define SEAMLOG_STATE_VARIABLES "XDG_STATE_HOME, HOME"
#endif

namespace {

namespace convert = seamlog::convert;
namespace save = seamlog::save;
namespace session = seamlog::session;
namespace tools = seamlog::tools;
using Clock = std::chrono::steady_clock;

constexpr int kSaved = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kStopped = 3;
constexpr int kNotConnected = 4;

constexpr const char* kUsageText =
    "usage: seamlog-capture [--out FILE] [--model MODEL-A|MODEL-B|MODEL-C] [--save-when-idle SECONDS]\n"
    "                       [--save-on-exit] [--device BUS:ADDR | --VID:PID] [--connect-timeout SECONDS]\n"
    "                       [--exit-when-idle SECONDS] [--state-dir DIR] [--quiet]\n"
    "  --out FILE            the comma-separated file each table is appended to\n"
    "  --model               the splicer model selected (default MODEL-A); the text decides\n"
    "  --save-when-idle S    save once the splicer has sent nothing for S seconds\n"
    "  --save-on-exit        save what is unsaved when the program ends (Ctrl+C, SIGTERM)\n"
    "  --device BUS:ADDR     the splicer at this USB bus and address (decimal, as lsusb)\n"
    "  --VID:PID             the splicer with these USB IDs (hexadecimal); default: the\n"
    "                        Portline hardware ID " PORTLINE_VENDOR_PRODUCT
    "\n"
    "  --connect-timeout S   give up (exit 4) when no splicer is open within S seconds;\n"
    "                        default: wait for it for ever\n"
    "  --exit-when-idle S    end once the splicer has sent something and then nothing for S\n"
    "                        seconds (with --save-on-exit: one report, saved, then the end)\n"
    "  --state-dir DIR       keep the journal and the log in DIR (one folder a splicer)\n"
    "  --quiet               only errors\n"
    "  --help                this text\n"
    "The splicer is opened on its own and again after an unplug. Unsaved text is kept in\n"
    "the journal (Seamlog.journal) and comes back at the next start; Seamlog.log records\n"
    "opens, failures and saves. Both live in " SEAMLOG_STATE_FOLDER_TEXT
    ".\n"
    "Ctrl+C or SIGTERM ends the program; a save under way finishes first.\n"
    "Exit status: 0 ended normally; 1 a save failed (the text stays in the journal); 2 usage;\n"
    "3 MODEL-C stopped at a record without its heading lines; 4 no splicer opened in time.\n";

// The terminal: one line updated in place on a tty, plain lines otherwise.
class Console final : public session::SessionView,
                      public save::SaveLocation,
                      public save::SaveFileDialog,
                      public save::MessageDisplay {
 public:
  Console(std::string out, bool quiet)
      : out_(std::move(out)), quiet_(quiet), tty_(tools::StdoutIsTerminal()) {}

  // SessionView
  void ShowConnected(bool connected) override {
    connected_ = connected;
    Line(connected ? "Splicer connected." : "Splicer disconnected.");
  }
  void EnableSaveButton(bool) override {}
  void ShowConvertResult(const convert::ConvertResult& result, bool) override {
    records_ = result.recordCount;
  }
  void RestoreCurrentDirectory() override {}
  void StartProgress(std::int16_t) override {}
  void SetProgress(std::int16_t) override {}
  // SaveLocation and SaveFileDialog: the file is the one on the command line.
  std::string CsvDir() const override { return std::filesystem::path(out_).parent_path().string(); }
  void ClearFileNames() override {}
  bool RememberChosenFile(std::string_view) override { return true; }
  std::optional<std::string> AskForFile(const save::SaveDialogRequest&) override { return out_; }
  // MessageDisplay
  void ShowMessage(std::string_view text, save::MessageIcon icon) override {
    if (icon == save::MessageIcon::Exclamation) {
      Error(std::string(text));
    } else if (text == save::kSaveCompleted) {
      Line("Data save completed: " + std::to_string(records_) + " record(s) appended to " + out_ + ".");
    } else {
      Line(std::string(text));
    }
  }

  void Line(const std::string& text) {
    if (quiet_) return;
    ClearStatus();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  void Error(const std::string& text) {
    ClearStatus();
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  // The state, bytes and records, in place, at most ten times a second.
  void Status(std::uint64_t bytes, std::int64_t records) {
    if (quiet_ || !tty_) return;
    const Clock::time_point now = Clock::now();
    if (now - lastStatus_ < std::chrono::milliseconds(100)) return;
    lastStatus_ = now;
    std::printf("\r\033[K%s  %llu bytes  %lld record(s) unsaved",
                connected_ ? "connected" : "waiting for the splicer", static_cast<unsigned long long>(bytes),
                static_cast<long long>(records));
    std::fflush(stdout);
    statusShown_ = true;
  }

 private:
  void ClearStatus() {
    if (!statusShown_) return;
    std::printf("\r\033[K");
    statusShown_ = false;
  }

  std::string out_;
  bool quiet_;
  bool tty_;
  bool connected_ = false;
  bool statusShown_ = false;
  std::int64_t records_ = 0;
  Clock::time_point lastStatus_{};
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "seamlog-capture: %s\n%s", problem.c_str(), kUsageText);
  return kUsage;
}

std::string NotOpenedReason(const tools::CountingLibrary& library) {
  if (tools::AccessDenied(library.lastCreate, library.lastStatus)) return tools::AccessDeniedMessage();
  if (library.lastCreate == portline::kCreateAllHeld) return "The splicer is held by another program.";
  if (library.lastCreate == portline::kCreateNoDevice || library.lastCreate < 0)
    return "No splicer found (USB " PORTLINE_VENDOR_PRODUCT "). Is it plugged in and switched on?";
  return "The splicer was found but would not open (result " + std::to_string(library.lastCreate) +
         ", status " + std::to_string(library.lastStatus) + ").";
}

int Capture(int argc, char** argv) {
  tools::CatchStopSignals();
  tools::CaptureOptions options;
  options.device.vendorId = PORTLINE_VENDOR_ID;
  options.device.productId = PORTLINE_PRODUCT_ID;
  if (const std::string problem = tools::ParseCaptureOptions(argc, argv, options); !problem.empty())
    return Usage(problem);
  if (options.help) {
    std::printf("seamlog-capture: takes splice records from the splicer and saves them as tables.\n%s",
                kUsageText);
    return kSaved;
  }
  const std::string folder = options.stateDir.empty() ? tools::StateFolderOfUser() : options.stateDir;
  if (folder.empty()) {
    std::fprintf(stderr, "seamlog-capture: no place for the journal (" SEAMLOG_STATE_VARIABLES " not set)\n");
    return kFailed;
  }
  if (const std::string problem = tools::MakeFolders(folder); !problem.empty()) {
    std::fprintf(stderr, "seamlog-capture: %s\n", problem.c_str());
    return kFailed;
  }
  if (!options.out.empty()) options.out = std::filesystem::absolute(options.out).string();
  std::string refusal;
  const std::unique_ptr<seamlog::link::DeviceLibrary> device = tools::MakeDeviceLibrary(options, refusal);
  if (!device) return Usage(refusal);

  tools::CountingLibrary library(*device);
  auto journalFiles = seamlog::journal::MakeJournalFiles(folder);
  auto logFiles = seamlog::diagnostics::MakeLogFiles(folder);
  auto logClock = seamlog::diagnostics::MakeLogClock();
  save::TableFiles tableFiles;
  Console console(options.out, options.quiet);
  session::Session run(
      options.model, {library, *journalFiles, *logFiles, *logClock, tableFiles, session::SystemSteadyClock()},
      console);
  for (const session::Notice& notice : run.Start(SEAMLOG_VERSION_STRING)) {
    if (notice.warning) {
      console.Error(notice.text);
    } else {
      console.Line(notice.text);
    }
  }

  int status = kSaved;
  auto saveNow = [&] {
    const tools::StopSignalsHeld held;
    const save::SaveReport report = run.Save({console, console, console});
    if (report.outcome == save::SaveOutcome::Failed) status = kFailed;
    if (report.outcome == save::SaveOutcome::Stopped) status = kStopped;
    if (report.outcome == save::SaveOutcome::Saved) status = kSaved;
  };

  const Clock::time_point started = Clock::now();
  Clock::time_point lastArrival = started;
  Clock::time_point lastAttempt{};
  std::uint64_t seenBytes = 0;
  std::uint64_t attemptedAtBytes = 0;
  bool everOpened = false;
  std::int32_t reportedCreate = portline::kCreateOpened;
  while (!tools::StopRequested()) {
    run.Tick();
    if (auto problem = run.TakeProblem()) console.Error(problem->text);
    const Clock::time_point now = Clock::now();
    if (library.bytesRead != seenBytes) {
      seenBytes = library.bytesRead;
      lastArrival = now;
    }
    if (run.Connected()) {
      everOpened = true;
      reportedCreate = portline::kCreateOpened;
    } else if (library.lastCreate != reportedCreate && library.lastCreate != -1) {
      reportedCreate = library.lastCreate;
      console.Line(NotOpenedReason(library));
    }
    if (!everOpened && options.connectTimeout &&
        now - started >= std::chrono::seconds(*options.connectTimeout)) {
      console.Error("seamlog-capture: " + NotOpenedReason(library));
      run.Exit(false);
      tools::StopFinished();
      return kNotConnected;
    }
    const auto& text = run.Capture().ReceivedText();
    const auto model = convert::ModelFromName(run.Capture().ModelName()).value_or(convert::Model::A);
    console.Status(seenBytes, convert::RecordCount(text.size(), convert::ModelRowOf(model).recordTextLength));
    // An idle save is tried again only when more arrived, or a whole quiet
    // period later (a last record that was cut short is saved then).
    if (options.saveWhenIdle && run.HasUnsavedText() &&
        now - lastArrival >= std::chrono::seconds(*options.saveWhenIdle) &&
        (seenBytes != attemptedAtBytes || now - lastAttempt >= session::kQuietPeriod)) {
      attemptedAtBytes = seenBytes;
      lastAttempt = now;
      saveNow();
    }
    // Scripts: the end once the splicer has sent something and then been quiet.
    if (options.exitWhenIdle && seenBytes > 0 &&
        now - lastArrival >= std::chrono::seconds(*options.exitWhenIdle))
      break;
    tools::SleepMs(seamlog::link::PollPeriodMs(run.Connected()));
  }
  // What the library had already taken from the splicer is read before the end.
  for (int guard = 0; guard < 4096 && run.Connected(); ++guard) {
    const std::uint64_t before = library.bytesRead;
    run.Tick();
    if (library.bytesRead == before) break;
  }
  if (options.saveOnExit && run.HasUnsavedText()) saveNow();
  if (run.HasUnsavedText())
    console.Line("Unsaved text is kept in the journal in " + folder + "; the next run brings it back.");
  run.Exit(false);
  tools::StopFinished();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Capture(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "seamlog-capture: unexpected error: %s\n", e.what());
    return kFailed;
  }
}
