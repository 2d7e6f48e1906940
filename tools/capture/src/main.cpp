// seamlog-capture: takes splice records from a USB-attached splicer through
// libusb and saves them as Seamlog does: the same capture, journal, save,
// converter and log, with no window.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "capture_options.h"
#include "contract_library.h"
#include "seamlog/convert/models.h"
#include "seamlog/save/table_file.h"
#include "seamlog/session/session.h"
#include "seamlog_version.h"
#include "state_folder.h"

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

constexpr const char* kUdevRule = "70-seamlog-splicer.rules";

constexpr const char* kUsageText =
    "usage: seamlog-capture [--out FILE] [--model MODEL-A|MODEL-B|MODEL-C] [--save-when-idle SECONDS]\n"
    "                       [--save-on-exit] [--device BUS:ADDR | --VID:PID] [--connect-timeout SECONDS]\n"
    "                       [--quiet]\n"
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
    "  --quiet               only errors\n"
    "  --help                this text\n"
    "The splicer is opened on its own and again after an unplug. Unsaved text is kept in\n"
    "the journal (Seamlog.journal) and comes back at the next start; Seamlog.log records\n"
    "opens, failures and saves. Both live in $XDG_STATE_HOME/seamlog (default\n"
    "~/.local/state/seamlog; macOS: ~/Library/Application Support/Seamlog).\n"
    "Ctrl+C or SIGTERM ends the program; a save under way finishes first.\n"
    "Exit status: 0 ended normally; 1 a save failed (the text stays in the journal); 2 usage;\n"
    "3 MODEL-C stopped at a record without its heading lines; 4 no splicer opened in time.\n";

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // Signals a parent blocked are not inherited as blocked here.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

// Holds SIGINT and SIGTERM back while a save runs: it finishes, then the
// program ends.
class StopSignalsHeld {
 public:
  StopSignalsHeld() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &before_);
  }
  ~StopSignalsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_;
};

void SleepMs(std::uint32_t ms) {
  timespec time{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&time, nullptr);  // a signal cuts it short
}

// The terminal: one line updated in place on a tty, plain lines otherwise.
class Console final : public session::SessionView,
                      public save::SaveLocation,
                      public save::SaveFileDialog,
                      public save::MessageDisplay {
 public:
  Console(std::string out, bool quiet)
      : out_(std::move(out)), quiet_(quiet), tty_(isatty(STDOUT_FILENO) == 1) {}

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

std::string NotOpenedReason(const tools::ContractLibrary& library) {
  if (library.lastCreate == portline::kCreateOpenFailed &&
      library.lastStatus == portline::libusb::kStatusAccessDenied)
    return std::string("Permission denied: this user may not open the splicer. Install the udev rule ") +
           kUdevRule + " (sudo cp " + kUdevRule +
           " /etc/udev/rules.d/ && sudo udevadm control --reload), then unplug the splicer and plug it in "
           "again.";
  if (library.lastCreate == portline::kCreateAllHeld) return "The splicer is held by another program.";
  if (library.lastCreate == portline::kCreateNoDevice || library.lastCreate < 0)
    return "No splicer found (USB " PORTLINE_VENDOR_PRODUCT "). Is it plugged in and switched on?";
  return "The splicer was found but would not open (result " + std::to_string(library.lastCreate) +
         ", libusb error " + std::to_string(library.lastStatus) + ").";
}

int Capture(int argc, char** argv) {
  CatchStopSignals();
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
#if defined(__APPLE__)
  constexpr bool kMacos = true;
#else
  constexpr bool kMacos = false;
#endif
  const std::string folder = tools::StateFolder(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"), kMacos);
  if (folder.empty()) {
    std::fprintf(stderr,
                 "seamlog-capture: neither XDG_STATE_HOME nor HOME is set: no place for the journal\n");
    return kFailed;
  }
  if (const std::string problem = tools::MakeFolders(folder); !problem.empty()) {
    std::fprintf(stderr, "seamlog-capture: %s\n", problem.c_str());
    return kFailed;
  }
  if (!options.out.empty()) options.out = std::filesystem::absolute(options.out).string();
  portline::libusb::ChooseDevice(options.device);

  tools::ContractLibrary library;
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
    const StopSignalsHeld held;
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
  while (!stopRequested) {
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
    SleepMs(seamlog::link::PollPeriodMs(run.Connected()));
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
