// End-to-end runs of the real Seamlog.exe against the simulated splicer.
//
//   seamlog-e2e main-job    --seamlog EXE --sim-dll DLL --convert EXE --report FILE
//                           --model MODEL-X --work DIR [--bytes-per-read N]
//                           [--disconnect-after N] [--stall-at N] [--screens DIR]
//                           [--winusb DLL]
//   seamlog-e2e missing-dll --seamlog EXE --model MODEL-X --work DIR [--screens DIR]
//   seamlog-e2e end-session --seamlog EXE --sim-dll DLL --report FILE --work DIR
//   seamlog-e2e recovery    --seamlog EXE --sim-dll DLL --convert EXE --report FILE
//                           --model MODEL-X --work DIR --journal killed|torn|held
//
// main-job: pick the model, see the not-connected status, let the program
// connect on its own and take in the whole report (through a disconnect and
// reconnect when asked), check the live text and the record count, Save As
// through the real dialog, compare the table with what seamlog-convert --raw
// writes for the same report, and close while connected (the device must be
// closed exactly once). With --winusb, --sim-dll names the real
// PortlineUSB.dll and the splicer is the test winusb.dll given, installed in
// the system folder beforehand (test-system-dll; run with
// WINEDLLOVERRIDES=winusb=n): the same checks, plus the pipe policies, the
// stall's pipe reset and the queued reads all ended on close. A winusb.dll that is
// not WinUSB lies beside the program: the library must not load it.
// missing-dll: without PortlineUSB.dll the first poll
// must end the program with a message naming the file. end-session: when
// the system's session ends while the splicer is connected, the device is
// closed once and never opened again.
// recovery: the capture journal across a crash. The splicer sends the first
// part of the report, and then (killed) Seamlog is ended by TerminateProcess,
// or (torn) the journal is found holding that part plus a frame cut short.
// The next start must bring back exactly the first part, say so once, take
// the rest from the splicer, and save the table seamlog-convert --raw writes
// for the whole report; the save leaves the journal empty. held: another
// program holds the journal; Seamlog says so once and receives and saves the
// whole report all the same. saving: Seamlog is killed while its save writes
// a long table; the next start settles the save, and the file ends up with
// the table once. Every run is checked in Seamlog.log.
//
// The report may be given with CR LF line ends; the splicer sends CR alone,
// so the simulator replays it with CR LF turned into CR.
// Exit status 0 when every check held, 1 otherwise.
#include <windows.h>
#include <commctrl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "control_ids.h"
#include "expected_text.h"
#include "gui_automation/checks.h"
#include "gui_automation/controls.h"
#include "gui_automation/files.h"
#include "gui_automation/program.h"
#include "gui_automation/screenshot.h"
#include "gui_automation/seamlog_windows.h"
#include "seamlog/journal/capture_journal.h"
#include "seamlog/journal/journal_format.h"

namespace ids = seamlog::shell::ids;
using namespace automation;
using namespace e2e;

namespace {

struct Options {
  std::string scenario, seamlog, simDll, convert, report, model = "MODEL-A", work, screens, winusb, journal;
  int bytesPerRead = 64;
  long long disconnectAfter = 0;
  long long stallAt = 0;
};

int RecordTextLength(const std::string& model) {
  if (model == "MODEL-B") return 378;
  if (model == "MODEL-C") return 665;
  return 618;
}

// The record count as the status label shows it: halves go to the even neighbour.
long long RecordCount(std::size_t length, int perRecord) {
  return static_cast<long long>(std::nearbyint(static_cast<double>(length) / perRecord));
}

std::string LastLine(const std::string& text) {
  std::size_t end = text.find_last_not_of("\r\n");
  if (end == std::string::npos) return "";
  const std::size_t start = text.find_last_of('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

class Screens {
 public:
  explicit Screens(std::string folder) : folder_(std::move(folder)) {
    if (!folder_.empty()) MakeDirectories(folder_);
  }
  void Take(const std::string& name) {
    if (folder_.empty()) return;
    Sleep(150);  // let the windows paint
    const std::string path = folder_ + "\\" + name + ".bmp";
    Check(Screenshot(path), "screenshot " + name + ".bmp");
  }

 private:
  std::string folder_;
};

void PrepareFolder(const Options& o, bool withLibrary) {
  MakeDirectories(o.work);
  for (const char* stale : {"\\saved.csv", "\\expected.csv", "\\calls.log", "\\PortlineSim.log", "\\Benchkit.ini",
                            "\\PortlineUSB.dll", "\\winusb.dll", "\\WinUsbSim.ini", "\\WinUsbSim.log",
                            "\\Seamlog.journal", "\\Seamlog.log"})
    DeleteFileA((o.work + stale).c_str());
  // An installed program is run where it is (--work is its folder).
  const std::string program = o.work + "\\Seamlog.exe";
  if (lstrcmpiA(o.seamlog.c_str(), program.c_str()) != 0 && !CopyFileA(o.seamlog.c_str(), program.c_str(), FALSE))
    Fail("cannot copy " + o.seamlog);
  if (withLibrary && !CopyFileA(o.simDll.c_str(), (o.work + "\\PortlineUSB.dll").c_str(), FALSE))
    Fail("cannot copy " + o.simDll);
  if (!o.winusb.empty()) {
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string installed = ReadWholeFile(std::string(system) + "\\winusb.dll");
    if (installed.empty() || installed != ReadWholeFile(o.winusb))
      Fail("the test winusb.dll is not in the system folder " + std::string(system));
    // Planted: a library named winusb.dll that has none of WinUSB's functions.
    if (!CopyFileA(o.simDll.c_str(), (o.work + "\\winusb.dll").c_str(), FALSE)) Fail("cannot copy " + o.simDll);
    // The splicer's device file: any file opens; the test winusb.dll answers.
    WriteWholeFile(o.work + "\\splicer.dev", "");
    SetEnvironmentVariableA("PORTLINEUSB_DEVICES", ("WinUSB=" + o.work + "\\splicer.dev").c_str());
  }
}

HWND ChooseModel(Program& program, const Options& o, Screens& screens) {
  // The first program started in a fresh Wine prefix can take a while.
  HWND dialog = WaitForModelDialog(program, 90000);
  SelectModel(dialog, o.model);
  Check(Text(GetDlgItem(dialog, ids::kSplModelCombo)) == o.model, "the model dialog shows " + o.model);
  screens.Take("1-select-model");
  Click(dialog, IDOK);
  return program.RequireWindow(ids::kMainFormClass);
}

int Indicator(HWND main) { return MainWindow{main}.Indicator(); }

void MainJob(const Options& o) {
  const std::string report = ReadWholeFile(o.report);
  if (report.empty()) Fail("cannot read the report " + o.report);
  const std::string raw = SplicerStream(report);
  const std::string expectedText = AsReceived(raw);
  Screens screens(o.screens);

  PrepareFolder(o, true);
  WriteWholeFile(o.work + "\\report.raw", raw);
  std::string ini = "[Splicer]\r\nReportFile=report.raw\r\nCallLog=calls.log\r\nRefuseCreates=1\r\n";
  ini += "BytesPerRead=" + std::to_string(o.bytesPerRead) + "\r\n";
  if (o.disconnectAfter > 0) ini += "DisconnectAfterBytes=" + std::to_string(o.disconnectAfter) + "\r\n";
  if (o.stallAt > 0) ini += "StallAtByte=" + std::to_string(o.stallAt) + "\r\n";
  WriteWholeFile(o.work + (o.winusb.empty() ? "\\PortlineSim.ini" : "\\WinUsbSim.ini"), ini);

  Program program(o.work + "\\Seamlog.exe");
  program.Start("C:\\");
  HWND main = ChooseModel(program, o, screens);

  // Status right after start: the first open is a second away, and the
  // simulator refuses that one.
  Check(Text(main) == "Seamlog <" + o.model + ">", "the main window's caption is \"Seamlog <" + o.model + ">\"");
  Check(WaitFor([&] { return Indicator(main) == 0; }, 800, 5), "after start the indicator shows not connected");
  HWND label = GetDlgItem(main, ids::kInformationLabel);
  HWND live = GetDlgItem(main, ids::kLiveText);
  Check(Text(label).empty(), "after start the status label is empty");
  Check(Text(live).empty(), "after start the live text is empty");
  screens.Take("2-started-not-connected");

  // Connect on its own, then take in the whole report; watch the indicator.
  std::vector<int> states{Indicator(main)};
  bool shotConnected = false;
  const std::string expectedView = LiveViewOf(expectedText);
  const bool complete = WaitFor(
      [&] {
        // Between its two ShowWindow calls the indicator shows both or
        // neither picture: record settled states only.
        const int now = Indicator(main);
        if (now >= 0 && now != states.back()) states.push_back(now);
        if (now == 1 && !shotConnected) {
          shotConnected = true;
          screens.Take("3-connected-receiving");
        }
        return Text(live) == expectedView;
      },
      60000, 5);
  Check(shotConnected, "the indicator switched to connected on its own");
  Check(complete, "the live text holds the whole report, nothing lost, nothing doubled (" +
                      std::to_string(expectedText.size()) + " characters)");
  if (!complete) std::printf("      live text has %zu characters\n", Text(live).size());
  const std::string count = "Seamlog Received: " + std::to_string(RecordCount(expectedText.size(), RecordTextLength(o.model)));
  Check(WaitFor([&] { return Text(label) == count; }, 3000), "the status label shows \"" + count + "\"");
  Check(Indicator(main) == 1, "the indicator shows connected after the report");
  screens.Take("4-report-received");

  const std::string log = ReadWholeFile(o.work + "\\calls.log");
  const int unplugs = Count(log, "unplugged");
  const int stalls = Count(log, "stalled");
  if (o.stallAt > 0) {
    Check(stalls == 1, "the IN pipe stalled once (log: " + std::to_string(stalls) + ")");
    Check(Count(log, "reset pipe") == 1, "the stalled pipe was reset, so the next open read on");
  }
  if (!o.winusb.empty()) {
    Check(Count(log, "policy pipe 0x81 timeout 0") == Count(log, "create 0"), "every open: IN pipe never times out");
    Check(Count(log, "policy pipe 0x02 timeout 2000") == Count(log, "create 0"), "every open: OUT pipe times out after 2 s");
  }
  if (o.disconnectAfter > 0 || o.stallAt > 0) {
    if (o.disconnectAfter > 0 && o.stallAt == 0) {
      const int expectedUnplugs = static_cast<int>((static_cast<long long>(raw.size()) - 1) / o.disconnectAfter);
      Check(unplugs == expectedUnplugs, "the splicer was unplugged " + std::to_string(expectedUnplugs) +
                                             " time(s) mid-report (log: " + std::to_string(unplugs) + ")");
    }
    Check(Count(log, "create 0") == unplugs + stalls + 1, "each unplug or stall was followed by an automatic reconnect");
    bool sawOffAgain = false;
    for (std::size_t i = 1; i + 1 < states.size(); ++i)
      if (states[i] == 1 && states[i + 1] == 0) sawOffAgain = true;
    Check(sawOffAgain, "the indicator went back to not connected during the unplug");
    if (!sawOffAgain) {
      std::printf("      indicator states seen:");
      for (int state : states) std::printf(" %d", state);
      std::printf("\n");
    }
  } else {
    Check(unplugs == 0 && stalls == 0 && Count(log, "create 0") == 1, "one connection for the whole report");
  }
  Check(Count(log, "create refused") == 1, "the refused first open was simply retried");

  // Save As through the real dialog.
  const std::string saved = o.work + "\\saved.csv";
  HWND dialog = FillSaveAsDialog(program, main, saved);
  screens.Take("5-save-as-dialog");
  Click(dialog, IDOK);
  HWND done = nullptr;
  WaitFor([&] { return (done = program.FindDialogSaying("Data save completed.")) != nullptr; }, 30000);
  Check(done != nullptr, "Save As ends with \"Data save completed.\"");
  if (done == nullptr) Fail("no completion message");
  screens.Take("6-save-completed");
  Click(done, IDOK);
  Check(WaitFor([&] { return Text(live).empty(); }, 5000), "after the save the live text is empty");

  const std::string expectedCsv = o.work + "\\expected.csv";
  const int converted =
      RunConvert(o.convert, "--model " + o.model + " --raw", o.work + "\\report.raw", expectedCsv, 60000);
  Check(converted == 0, "seamlog-convert --raw converted the same report");
  const std::string table = ReadWholeFile(saved);
  Check(!table.empty() && table == ReadWholeFile(expectedCsv),
        "the saved table is byte-identical to seamlog-convert --raw (" + std::to_string(table.size()) + " bytes)");

  // Close while connected: the device is closed exactly once.
  Check(Indicator(main) == 1, "still connected before closing");
  screens.Take("7-before-exit");
  ExitSeamlog(program, main, 15000);
  Check(program.WaitForExit(1000) >= 0, "Exit ends the program");
  const std::string finalLog = ReadWholeFile(o.work + "\\calls.log");
  Check(Count(finalLog, "create 0") == Count(finalLog, "close 0"), "every open was closed once");
  Check(Count(finalLog, "close stray") == 0, "no close of a device that was not open");
  Check(LastLine(finalLog).rfind("close 0", 0) == 0, "the last library call was the close on exit");
  if (!o.winusb.empty()) {
    Check(Count(finalLog, "free with a read pending") == 0, "WinUSB was never freed with a read still pending");
    Check(Count(finalLog, "abort ended a pending read") >= 1, "closing on exit aborted the pending read");
    const std::string aborted = "abort ended a pending read (";
    const std::size_t at = finalLog.rfind(aborted);
    const int queued = at == std::string::npos ? 0 : std::atoi(finalLog.c_str() + at + aborted.size());
    Check(queued > 1, "the reads queued at exit were all aborted (" + std::to_string(queued) + ")");
    Check(Count(finalLog, "bad read") == 0, "every read was issued as WinUSB expects");
  }
}

void MissingLibrary(const Options& o) {
  Screens screens(o.screens);
  PrepareFolder(o, false);
  Program program(o.work + "\\Seamlog.exe");
  program.Start("C:\\");
  HWND main = ChooseModel(program, o, screens);
  Check(WaitFor([&] { return Indicator(main) == 0; }, 800, 5), "the main window starts not connected");
  HWND box = nullptr;
  WaitFor([&] { return (box = program.FindDialogSaying("PortlineUSB.dll")) != nullptr; }, 10000);
  Check(box != nullptr, "the first poll shows a message naming PortlineUSB.dll");
  if (box == nullptr) return;
  const std::string text = DialogText(box);
  std::printf("      message: %s", text.c_str());
  Check(text.find("File not found: PortlineUSB.dll") != std::string::npos, "the message says the file was not found");
  screens.Take("missing-library");
  Click(box, IDOK);
  const int code = program.WaitForExit(10000);
  Check(code >= 0, "the program ends after the message");
  Check(code == 53, "its exit code is the run-time error number 53 (got " + std::to_string(code) + ")");
}

void EndSession(const Options& o) {
  const std::string report = ReadWholeFile(o.report);
  if (report.empty()) Fail("cannot read the report " + o.report);
  Screens screens(o.screens);
  PrepareFolder(o, true);
  WriteWholeFile(o.work + "\\report.raw", SplicerStream(report));
  WriteWholeFile(o.work + "\\PortlineSim.ini", "[Splicer]\r\nReportFile=report.raw\r\nCallLog=calls.log\r\n");
  Program program(o.work + "\\Seamlog.exe");
  program.Start("C:\\");
  HWND main = ChooseModel(program, o, screens);
  const std::string logPath = o.work + "\\calls.log";
  Check(WaitFor([&] { return Count(ReadWholeFile(logPath), "create 0") == 1; }, 10000, 5),
        "the program connects on its own");
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(main, WM_ENDSESSION, TRUE, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  Sleep(2500);  // more than two periods of the not-connected poll timer
  const std::string log = ReadWholeFile(logPath);
  Check(Count(log, "close 0") == 1, "the end of the session closed the device once");
  Check(Count(log, "create 0") == 1, "no tick opened the device again afterwards");
  Check(LastLine(log).rfind("close 0", 0) == 0, "the last library call was that close");
}

// ---- the capture journal -------------------------------------------------------

void StartSplicer(const Options& o, const std::string& raw) {
  WriteWholeFile(o.work + "\\report.raw", raw);
  WriteWholeFile(o.work + "\\PortlineSim.ini",
                 "[Splicer]\r\nReportFile=report.raw\r\nCallLog=calls.log\r\nBytesPerRead=" +
                     std::to_string(o.bytesPerRead) + "\r\n");
}

void ExitProgram(Program& program, HWND main) {
  ExitSeamlog(program, main, 15000);
  Check(program.WaitForExit(1000) >= 0, "Exit ends the program");
}

void Recovery(const Options& o) {
  const std::string report = ReadWholeFile(o.report);
  if (report.empty()) Fail("cannot read the report " + o.report);
  if (o.journal != "killed" && o.journal != "torn" && o.journal != "held") Fail("--journal killed|torn|held");
  const std::string raw = SplicerStream(report);
  // Cut inside a record, where a crash hurts most.
  const std::size_t cut = raw.size() * 2 / 5;
  const std::string first = raw.substr(0, cut);
  const std::string firstText = AsReceived(first);
  Screens screens(o.screens);
  PrepareFolder(o, true);
  const std::string journalPath = o.work + "\\Seamlog.journal";
  const std::string logPath = o.work + "\\Seamlog.log";
  for (const char* stale : {"\\Seamlog.journal", "\\Seamlog.journal.bad-1", "\\Seamlog.log", "\\report.raw"})
    DeleteFileA((o.work + stale).c_str());

  std::string tornJournal;
  if (o.journal == "killed") {
    // The splicer sends the first part and falls silent; Seamlog is killed
    // while still connected, with the text on screen.
    StartSplicer(o, first);
    Program program(o.work + "\\Seamlog.exe");
    program.Start("C:\\");
    HWND main = ChooseModel(program, o, screens);
    HWND live = GetDlgItem(main, ids::kLiveText);
    Check(WaitFor([&] { return Text(live) == LiveViewOf(firstText); }, 60000, 5),
          "the first run shows the first " + std::to_string(firstText.size()) + " characters");
    Check(TerminateProcess(program.Process(), 1) != 0 && program.WaitForExit(10000) == 1,
          "the first run was killed by TerminateProcess");
    const seamlog::journal::ParsedJournal parsed = seamlog::journal::ParseJournal(ReadWholeFile(journalPath));
    Check(parsed.condition == seamlog::journal::JournalCondition::Whole && parsed.text == firstText,
          "the killed run's journal holds exactly what it had received (" + std::to_string(parsed.text.size()) +
              " characters)");
  } else if (o.journal == "torn") {
    // A power cut in the middle of a write: whole frames, then the start of one.
    tornJournal = std::string(seamlog::journal::kJournalMagic);
    seamlog::journal::AppendFrames(tornJournal, firstText);
    std::string lost;
    seamlog::journal::AppendFrames(lost, "text that never reached the disk");
    tornJournal += lost.substr(0, 12);
    WriteWholeFile(journalPath, tornJournal);
  }

  // Held: another program keeps the journal, as a second Seamlog would.
  HANDLE holder = INVALID_HANDLE_VALUE;
  if (o.journal == "held") {
    holder = CreateFileA(journalPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (holder == INVALID_HANDLE_VALUE) Fail("cannot hold " + journalPath);
  }
  const bool recovers = o.journal != "held";
  StartSplicer(o, recovers ? raw.substr(cut) : raw);

  Program program(o.work + "\\Seamlog.exe");
  program.Start("C:\\");
  HWND main = ChooseModel(program, o, screens);
  HWND live = GetDlgItem(main, ids::kLiveText);
  const std::string notice = recovers ? "Seamlog has recovered" : "capture journal";
  HWND box = nullptr;
  WaitFor([&] { return (box = program.FindDialogSaying(notice)) != nullptr; }, 20000);
  Check(box != nullptr, "the start shows a message saying \"" + notice + "\"");
  if (box != nullptr) {
    const std::string text = DialogText(box);
    std::printf("      message: %s", text.c_str());
    if (recovers)
      Check(text.find(std::to_string(firstText.size()) + " characters") != std::string::npos,
            "it counts the " + std::to_string(firstText.size()) + " characters recovered");
    if (o.journal == "torn")
      Check(text.find("Seamlog.journal.bad-1") != std::string::npos, "it names the damaged journal kept aside");
    Check(Text(box) == "Seamlog", "the message box is titled \"Seamlog\"");
    screens.Take("recovery-message");
    Click(box, IDOK);
  }
  const std::string wholeText = AsReceived(raw);
  Check(WaitFor([&] { return Text(live) == LiveViewOf(wholeText); }, 60000, 5),
        "the live text holds the whole report: what came back, then what the splicer sent");
  Check(program.FindDialogSaying(notice) == nullptr, "the message was shown once");
  if (o.journal == "torn")
    Check(ReadWholeFile(journalPath + ".bad-1") == tornJournal, "the torn journal was kept aside as it was");
  if (recovers)
    Check(seamlog::journal::ParseJournal(ReadWholeFile(journalPath)).text == wholeText,
          "before the save the journal holds what came back once, then what the splicer sent");

  Check(SaveAs(program, main, o.work + "\\saved.csv"), "Save As ends with \"Data save completed.\"");
  WriteWholeFile(o.work + "\\report.raw", raw);
  const std::string expectedCsv = o.work + "\\expected.csv";
  const int converted =
      RunConvert(o.convert, "--model " + o.model + " --raw", o.work + "\\report.raw", expectedCsv, 60000);
  const std::string table = ReadWholeFile(o.work + "\\saved.csv");
  Check(converted == 0 && !table.empty() && table == ReadWholeFile(expectedCsv),
        "the saved table is byte-identical to seamlog-convert --raw of the whole report (" +
            std::to_string(table.size()) + " bytes)");
  ExitProgram(program, main);
  if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);

  const std::string journal = ReadWholeFile(journalPath);
  if (recovers) {
    const auto parsed = seamlog::journal::ParseJournal(journal);
    Check(parsed.condition == seamlog::journal::JournalCondition::Whole && parsed.text.empty(),
          "after the save the journal holds nothing");
  } else {
    Check(journal.empty(), "the held journal was not touched");
  }
  const std::string log = ReadWholeFile(logPath);
  std::printf("      Seamlog.log:\n%s", log.c_str());
  Check(Count(log, "start: Seamlog ") == (o.journal == "killed" ? 2 : 1), "each start is in Seamlog.log");
  Check(Count(log, recovers ? "journal: recovered " + std::to_string(firstText.size()) + " characters"
                            : "journal: The capture journal") == 1,
        recovers ? "Seamlog.log records the recovery" : "Seamlog.log records the journal problem once");
  Check(Count(log, "save: completed") == 1 && Count(log, "exit") == 1, "Seamlog.log records the save and the exit");
}

// The length of a file; -1 when it does not exist.
long long FileLength(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A save killed while it writes its table: the journal holds a long text;
// Seamlog is ended by TerminateProcess once the table has begun to grow. The
// next start must settle that save (take the half table back, or know the
// table was whole), and the file must end up with the table exactly once.
void KilledWhileSaving(const Options& o) {
  const std::string report = ReadWholeFile(o.report);
  if (report.empty()) Fail("cannot read the report " + o.report);
  std::string text;
  while (text.size() < 12 * 1024 * 1024) text += AsReceived(SplicerStream(report));
  Screens screens(o.screens);
  PrepareFolder(o, true);
  const std::string table = o.work + "\\saved.csv";
  for (const char* stale : {"\\Seamlog.journal", "\\Seamlog.saving", "\\Seamlog.log", "\\text.txt"})
    DeleteFileA((o.work + stale).c_str());
  WriteWholeFile(table, "an earlier table\r\n");
  std::string journal(seamlog::journal::kJournalMagic);
  seamlog::journal::AppendFrames(journal, text);
  WriteWholeFile(o.work + "\\Seamlog.journal", journal);
  StartSplicer(o, "");

  bool killedMidSave = false;
  for (int attempt = 1; attempt <= 5 && !killedMidSave; ++attempt) {
    Program program(o.work + "\\Seamlog.exe");
    program.Start("C:\\");
    HWND main = ChooseModel(program, o, screens);
    HWND box = nullptr;
    WaitFor([&] { return (box = program.FindDialogSaying("Seamlog has recovered")) != nullptr; }, 60000);
    if (box == nullptr) Fail("the start did not say that the text was recovered");
    Click(box, IDOK);
    HWND dialog = FillSaveAsDialog(program, main, table);
    const long long before = FileLength(table);
    Click(dialog, IDOK);
    // Killed as soon as the table has begun to grow, before the save is done.
    WaitFor([&] { return FileLength(table) > before || program.FindDialogSaying("Data save") != nullptr; }, 60000, 1);
    killedMidSave = FileLength(table) > before && program.FindDialogSaying("Data save") == nullptr;
    TerminateProcess(program.Process(), 1);
    program.WaitForExit(10000);
    std::printf("      attempt %d: killed with %lld of the table's bytes written%s\n", attempt,
                FileLength(table) - before, killedMidSave ? "" : " (the save had ended)");
    if (!killedMidSave) {
      // The save ended first: start again from the same journal and table.
      WriteWholeFile(table, "an earlier table\r\n");
      WriteWholeFile(o.work + "\\Seamlog.journal", journal);
      DeleteFileA((o.work + "\\Seamlog.saving").c_str());
    }
  }
  Check(killedMidSave, "Seamlog was killed while its save was writing the table");

  Program program(o.work + "\\Seamlog.exe");
  program.Start("C:\\");
  HWND main = ChooseModel(program, o, screens);
  HWND settled = nullptr;
  WaitFor([&] { return (settled = program.FindDialogSaying("save into")) != nullptr; }, 60000);
  Check(settled != nullptr, "the next start says what became of the interrupted save");
  bool whole = false;
  if (settled != nullptr) {
    const std::string said = DialogText(settled);
    std::printf("      message: %s\n", said.c_str());
    whole = said.find("was complete") != std::string::npos;
    Check(whole || said.find("taken back") != std::string::npos, "the half table was taken back, or the table was whole");
    screens.Take("interrupted-save");
    Click(settled, IDOK);
  }
  if (HWND recovered = program.FindDialogSaying("Seamlog has recovered")) Click(recovered, IDOK);
  if (!whole) {
    Check(ReadWholeFile(table) == "an earlier table\r\n", "the table file is as it was before the killed save");
    Check(SaveAs(program, main, o.work + "\\saved.csv"), "saving again ends with \"Data save completed.\"");
  }
  WriteWholeFile(o.work + "\\text.txt", text);
  const std::string expectedCsv = o.work + "\\expected.csv";
  WriteWholeFile(expectedCsv, "an earlier table\r\n");
  const int converted =
      RunConvert(o.convert, "--model " + o.model, o.work + "\\text.txt", expectedCsv, 120000);
  Check(converted == 0 && ReadWholeFile(table) == ReadWholeFile(expectedCsv),
        "the file holds the earlier table and the saved table exactly once (" +
            std::to_string(FileLength(table)) + " bytes)");
  ExitProgram(program, main);
}

bool ParseOptions(int argc, char** argv, Options& o) {
  if (argc < 2) return false;
  o.scenario = argv[1];
  const std::map<std::string, std::string*> paths{{"--seamlog", &o.seamlog}, {"--sim-dll", &o.simDll},
                                                  {"--convert", &o.convert}, {"--report", &o.report},
                                                  {"--model", &o.model},     {"--work", &o.work},
                                                  {"--screens", &o.screens}, {"--winusb", &o.winusb},
                                                  {"--journal", &o.journal}};
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (auto it = paths.find(key); it != paths.end()) {
      *it->second = key == "--model" || key == "--journal" ? value : WindowsPath(value);
    } else if (key == "--bytes-per-read") {
      o.bytesPerRead = std::stoi(value);
    } else if (key == "--disconnect-after") {
      o.disconnectAfter = std::stoll(value);
    } else if (key == "--stall-at") {
      o.stallAt = std::stoll(value);
    } else {
      return false;
    }
  }
  return !o.seamlog.empty() && !o.work.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr, "usage: seamlog-e2e main-job|missing-dll|end-session --seamlog EXE --work DIR [options]\n");
    return 2;
  }
  RunChecked([&] {
    if (o.scenario == "main-job")
      MainJob(o);
    else if (o.scenario == "missing-dll")
      MissingLibrary(o);
    else if (o.scenario == "end-session")
      EndSession(o);
    else if (o.scenario == "recovery" && o.journal == "saving")
      KilledWhileSaving(o);
    else if (o.scenario == "recovery")
      Recovery(o);
    else
      Fail("unknown scenario " + o.scenario);
  });
  return Summary(o.scenario);
}
