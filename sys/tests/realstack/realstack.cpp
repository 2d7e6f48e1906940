// The real device path, end to end: simulated splicers on portline-vbus.sys,
// the real Portline.sys bound to them by PnP, the real PortlineUSB.dll and the
// real Seamlog.exe on top, operated from outside as a technician would.
//
//   realstack install   --drivers DIR
//   realstack serve     --report FILE     (plugs in a splicer that sends FILE)
//   realstack status
//   realstack SCENARIO  --seamlog EXE --library DLL --convert EXE --samples DIR --work DIR [--screens DIR]
//
// Scenarios: whole-report-a, whole-report-b, whole-report-c, unplug-with-reads-pending,
// stalled-in-pipe, disable-and-enable, controls, two-splicers, close-with-read-pending,
// queued-reads-stall-and-unplug, query-remove-cancelled, sleep-and-wake, rebalance (by
// hand only). Each prints one line per check and exits 0 when every check held.
//
//   realstack link-rate --seamlog SeamlogTestHook.exe --library DLL --baseline DLL --samples DIR --work DIR
//   realstack driver-rate
//
// measure and print rates (not tests): link-rate through Seamlog with both
// libraries, driver-rate with reads straight on Portline.sys.
#include <windows.h>
#include <initguid.h>
#include <commctrl.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "PortlinePublic.h"
#include "VbusHardwareId.h"
#include "control_ids.h"
#include "expected_text.h"
#include "gui_automation/checks.h"
#include "gui_automation/controls.h"
#include "gui_automation/files.h"
#include "gui_automation/linux_process.h"
#include "gui_automation/program.h"
#include "gui_automation/screenshot.h"
#include "gui_automation/seamlog_windows.h"
#include "installer.h"
#include "vbus_client.h"

namespace ids = seamlog::shell::ids;
using namespace automation;
using namespace e2e;
using namespace realstack;

namespace {


struct Options {
  std::string scenario, drivers, seamlog, library, convert, samples, work, report, screens;
  std::string baseline;  // link-rate: the library to compare with
};

// ---------------------------------------------------------------------------
// The sample reports, as the splicer sends them.

std::string Sample(const Options& o, char model) {
  const std::string report = ReadWholeFile(o.samples + "\\model-" + model + "-report.txt");
  if (report.empty()) Fail(std::string("cannot read the sample report of model ") + model);
  return SplicerStream(report);
}

// ---------------------------------------------------------------------------
// Seamlog, operated from outside.

class Seamlog {
 public:
  Seamlog(const Options& o, const std::string& folder, const std::string& model)
      : work_(o.work + "\\" + folder), model_(model), program_(work_ + "\\Seamlog.exe") {
    MakeDirectories(work_);
    // A journal left by an earlier run would come back as received text.
    for (const char* stale : {"\\saved.csv", "\\expected.csv", "\\report.raw", "\\Benchkit.ini",
                              "\\Seamlog.journal", "\\Seamlog.journal.bad-1", "\\Seamlog.log"})
      DeleteFileA((work_ + stale).c_str());
    if (!CopyFileA(o.seamlog.c_str(), (work_ + "\\Seamlog.exe").c_str(), FALSE)) Fail("cannot copy " + o.seamlog);
    if (!CopyFileA(o.library.c_str(), (work_ + "\\PortlineUSB.dll").c_str(), FALSE)) Fail("cannot copy " + o.library);
    program_.Start(work_);
    HWND dialog = WaitForModelDialog(program_, 90000);
    SelectModel(dialog, model);
    Click(dialog, IDOK);
    main_ = program_.RequireWindow(ids::kMainFormClass);
    live_ = GetDlgItem(main_, ids::kLiveText);
  }

  std::string Live() const { return Text(live_); }
  std::string Status() const { return Text(GetDlgItem(main_, ids::kInformationLabel)); }
  const std::string& Folder() const { return work_; }
  HWND Main() const { return main_; }

  // 0 not connected, 1 connected, -1 neither or both.
  int Indicator() const { return MainWindow{main_}.Indicator(); }

  bool WaitForLive(const std::string& expected, DWORD milliseconds) const {
    return WaitFor([&] { return Live() == expected; }, milliseconds, 20);
  }

  // Save As through the real dialog; the saved table, or empty.
  std::string SaveAs() {
    const std::string saved = work_ + "\\saved.csv";
    const bool completed = automation::SaveAs(program_, main_, saved);
    if (!Check(completed, "Save As ends with \"Data save completed.\"")) return {};
    return ReadWholeFile(saved);
  }

  // Exit while connected; true when the program ended in time.
  bool Exit(DWORD milliseconds = 15000) {
    ExitSeamlog(program_, main_, milliseconds);
    return program_.WaitForExit(1000) >= 0;
  }

 private:
  std::string work_, model_;
  Program program_;
  HWND main_ = nullptr;
  HWND live_ = nullptr;
};

// The table seamlog-convert --raw writes for the stream.
std::string ConvertedTable(const Options& o, const std::string& folder, const std::string& model,
                           const std::string& raw) {
  const std::string dir = o.work + "\\" + folder;
  WriteWholeFile(dir + "\\report.raw", raw);
  const std::string expected = dir + "\\expected.csv";
  const int code =
      RunConvert(o.convert, "--model " + model + " --raw", dir + "\\report.raw", expected, 60000);
  Check(code == 0, "seamlog-convert --raw converted the same report");
  return ReadWholeFile(expected);
}

void SaveAndCompare(const Options& o, Seamlog& seamlog, const std::string& folder, const std::string& model,
                    const std::string& raw) {
  const std::string table = seamlog.SaveAs();
  const std::string expected = ConvertedTable(o, folder, model, raw);
  Check(!table.empty() && table == expected, "the saved " + model + " table is byte-identical to seamlog-convert --raw (" +
                                                 std::to_string(table.size()) + " bytes)");
}

// Opens the bus with both splicers out and forgotten, so that every scenario
// starts alike.
void OpenEmptyBus(Vbus& bus) {
  Require(bus.Open(10000), "the virtual bus is there");
  for (ULONG child = 0; child < VBUS_CHILDREN; ++child) {
    Require(bus.UnplugAndWait(child), "splicer " + std::to_string(child) + " is unplugged and its device gone");
  }
}

// Gives the first splicer its report and plugs it in; `takes` and `plugged`
// say what each step shows.
void PlugInSplicer(Vbus& bus, const Report& report, const std::string& takes, const std::string& plugged) {
  Require(bus.SetReport(0, report), takes);
  Require(bus.PlugAndWait(0), plugged);
}

// The function driver finishes its removal after the bus has deleted the
// device object, so its last steps are waited for.
bool ReferencesGivenBack(Vbus& bus, ULONG child) {
  return bus.WaitFor(child, [](const VBUS_STATUS& s) { return s.InterfaceReferences == 0; }, 5000);
}

std::string ModelName(char model) { return std::string("MODEL-") + static_cast<char>(model - 'a' + 'A'); }

// ---------------------------------------------------------------------------
// Scenarios.

// Installs the bus, then Portline.sys from the built INF with
// UpdateDriverForPlugAndPlayDevices on both splicers at once, as a user's
// installer does with the splicers attached; Wine binds it when they are
// plugged in again. (Wine 8 hangs its PnP thread
// when it installs a driver itself for a second device whose driver is
// already running, so both splicers get theirs here, from user mode.)
void Install(const Options& o) {
  const std::wstring drivers = Wide(o.drivers);
  std::string error = InstallRootDevice(drivers + L"\\portline-vbus.inf", L"ROOT\\PortlineVbus");
  Require(error.empty(), "the virtual bus installs from its INF " + error);
  Vbus bus;
  Require(bus.Open(60000), "the virtual bus's control device opens");

  Report report;
  report.bytes = "installed\r";
  for (ULONG child = 0; child < VBUS_CHILDREN; ++child) {
    Require(bus.SetReport(child, report) && bus.Plug(child), "splicer " + std::to_string(child) + " is plugged in");
  }
  Require(WaitFor([] { return PresentDevices(VBUS_HARDWARE_ID).size() == VBUS_CHILDREN; }, 30000),
          "the system lists both splicers, still without a driver");
  error = UpdateDriver(drivers + L"\\Portline.inf", VBUS_HARDWARE_ID);
  Require(error.empty(), "UpdateDriverForPlugAndPlayDevices installs the built Portline.inf " + error);
  // Wine binds the new driver when the devices next arrive.
  for (ULONG child = 0; child < VBUS_CHILDREN; ++child) {
    Require(bus.UnplugAndWait(child), "splicer " + std::to_string(child) + " is unplugged");
  }
  for (ULONG child = 0; child < VBUS_CHILDREN; ++child) {
    const std::string name = "splicer " + std::to_string(child);
    Check(bus.PlugAndWait(child), "plugged in again, " + name + " is started and configured by its function driver");
    const VBUS_STATUS status = bus.Status(child);
    Check(status.ClientMaximumTransferSize == PORTLINE_MAX_TRANSFER_SIZE,
          name + ": Portline asked for 64-byte transfers (asked " + std::to_string(status.ClientMaximumTransferSize) + ")");
    Check(status.InterfaceReferences == 1, name + ": Portline holds one reference on the bus interface");
  }
  const auto devices = PresentDevices(VBUS_HARDWARE_ID);
  bool all_portline = devices.size() == VBUS_CHILDREN;
  for (const auto& device : devices) all_portline = all_portline && device.service == L"Portline";
  Check(all_portline, "the function driver of both is the Portline service");
  Check(InterfacePaths(GUID_DEVINTERFACE_PORTLINE).size() == VBUS_CHILDREN, "each publishes one Portline interface");

  for (ULONG child = 0; child < VBUS_CHILDREN; ++child) {
    Check(bus.UnplugAndWait(child), "unplugged, splicer " + std::to_string(child) + "'s device goes away");
    Check(ReferencesGivenBack(bus, child), "and the bus interface reference is given back");
  }
  Check(WaitFor([] { return InterfacePaths(GUID_DEVINTERFACE_PORTLINE).empty(); }, 5000), "and the interfaces with them");
  for (ULONG child = 0; child < VBUS_CHILDREN; ++child) {
    Check(bus.Status(child).LateDereferences == 0,
          "splicer " + std::to_string(child) +
              ": Portline gave the bus interface back before its removal went down to the bus");
  }
}

void WholeReport(const Options& o, char model, ULONG packet, ULONG pacing) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report report;
  report.bytes = Sample(o, model);
  report.packet_size = packet;
  report.pacing_ms = pacing;
  PlugInSplicer(bus, report, "the splicer takes the sample report of " + ModelName(model),
                "the splicer is plugged in and configured");

  const std::string folder = std::string("whole-") + model;
  Seamlog seamlog(o, folder, ModelName(model));
  const std::string expected = LiveViewOf(AsReceived(report.bytes));
  Check(seamlog.WaitForLive(expected, 90000), "the live text holds the whole report, nothing lost, nothing doubled (" +
                                                  std::to_string(report.bytes.size()) + " bytes in " +
                                                  std::to_string(packet) + "-byte packets)");
  const VBUS_STATUS status = bus.Status(0);
  Check(status.Sent == report.bytes.size(), "the splicer delivered every byte once");
  Check(status.Overruns == 0 && status.RejectedUrbs == 0, "no read overran a packet and no URB was refused");
  Check(status.LargestRead <= PORTLINE_MAX_TRANSFER_SIZE,
        "no bulk IN transfer asked for more than 64 bytes (largest " + std::to_string(status.LargestRead) + ")");
  Check(seamlog.Indicator() == 1, "Seamlog shows connected");
  if (!o.screens.empty()) {
    MakeDirectories(o.screens);
    // The record count shows at the display timer's next tick; the picture
    // should carry it.
    WaitFor([&] { return !seamlog.Status().empty(); }, 3000);
    Sleep(150);  // let the window paint
    Check(Screenshot(o.screens + "\\report-received.bmp"), "screenshot report-received.bmp");
  }
  SaveAndCompare(o, seamlog, folder, ModelName(model), report.bytes);
  Check(seamlog.Exit(), "Exit ends Seamlog");
}

void UnplugWithReadsPending(const Options& o) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report report;
  report.bytes = Sample(o, 'a');
  report.unplug_at = 3000;
  PlugInSplicer(bus, report, "the splicer will be pulled out after 3000 bytes", "the splicer is plugged in");
  Seamlog seamlog(o, "unplug", "MODEL-A");
  const std::string expected = LiveViewOf(AsReceived(report.bytes));

  Check(bus.WaitFor(0, [](const VBUS_STATUS& s) { return s.Plugged == 0 && s.Devices == 0; }, 60000),
        "the splicer was pulled out mid-report and its device removed");
  VBUS_STATUS gone = bus.Status(0);
  Check(gone.Sent == 3000, "it had sent exactly 3000 bytes");
  Check(gone.GoneTransfers >= 1, "a read was pending when it went (" + std::to_string(gone.GoneTransfers) + ")");
  Check(gone.SurpriseRemovals == 1, "the system saw a surprise removal");
  Check(ReferencesGivenBack(bus, 0), "the bus interface reference was given back");
  Check(WaitFor([&] { return seamlog.Indicator() == 0; }, 5000), "Seamlog shows not connected");
  Check(expected.rfind(seamlog.Live(), 0) == 0 && !seamlog.Live().empty(), "what arrived so far is the report's beginning");

  Check(bus.PlugAndWait(0), "plugged in again, the splicer is configured again");
  Check(seamlog.WaitForLive(expected, 60000), "Seamlog reconnected on its own and holds the whole report, nothing lost, nothing doubled");
  const VBUS_STATUS status = bus.Status(0);
  Check(status.Sent == report.bytes.size() && status.Plugs == 2, "the splicer went on where it stopped");
  Check(seamlog.Indicator() == 1, "Seamlog shows connected");
  SaveAndCompare(o, seamlog, "unplug", "MODEL-A", report.bytes);
  Check(seamlog.Exit(), "Exit ends Seamlog");
}

void StalledInPipe(const Options& o) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report report;
  report.bytes = Sample(o, 'b');
  report.stall_at = 2000;
  PlugInSplicer(bus, report, "the splicer's IN endpoint will stall after 2000 bytes",
                "the splicer is plugged in");
  Seamlog seamlog(o, "stall", "MODEL-B");
  const std::string expected = LiveViewOf(AsReceived(report.bytes));
  Check(bus.WaitFor(0, [](const VBUS_STATUS& s) { return s.Stalls == 1; }, 60000), "the IN endpoint stalled");
  Check(seamlog.WaitForLive(expected, 30000), "the whole report arrived after the stall, nothing lost, nothing doubled");
  const VBUS_STATUS status = bus.Status(0);
  Check(status.PipeResets >= 1 && !status.Halted, "the halted pipe was reset (" + std::to_string(status.PipeResets) + " resets)");
  Check(status.Plugs == 1 && status.Removals == 0, "without a replug");
  SaveAndCompare(o, seamlog, "stall", "MODEL-B", report.bytes);
  Check(seamlog.Exit(), "Exit ends Seamlog");
}

// A report under way with Seamlog open: a paced splicer that has sent its
// first kilobyte. Returns the report sent.
Report ReportUnderWay(Vbus& bus, const std::string& bytes) {
  OpenEmptyBus(bus);
  Report report;
  report.bytes = bytes;
  report.pacing_ms = 10;
  PlugInSplicer(bus, report, "the splicer sends a packet every 10 ms", "the splicer is plugged in");
  return report;
}

void WaitForFirstKilobyte(Vbus& bus) {
  Require(bus.WaitFor(0, [](const VBUS_STATUS& s) { return s.Sent >= 1000; }, 60000), "the report is under way");
}

// The rest of the report arrives, Seamlog saves it whole and exits.
void FinishWhole(const Options& o, Vbus& bus, Seamlog& seamlog, const Report& report, const std::string& folder,
                 const std::string& model) {
  const std::string expected = LiveViewOf(AsReceived(report.bytes));
  Check(seamlog.WaitForLive(expected, 90000), "the live text holds the whole report, nothing lost, nothing doubled");
  const VBUS_STATUS status = bus.Status(0);
  Check(status.Sent == report.bytes.size(), "the splicer delivered every byte once");
  Check(status.Plugs == 1 && status.Removals == 0 && status.SurpriseRemovals == 0, "without a replug or a removal");
  Check(status.Overruns == 0 && status.RejectedUrbs == 0 && status.PoweredOffUrbs == 0,
        "no read overran a packet, no URB was refused, none came while the splicer was powered down (" +
            std::to_string(status.RejectedUrbs) + " refused, " + std::to_string(status.PoweredOffUrbs) +
            " powered down)");
  Check(seamlog.Indicator() == 1, "Seamlog shows connected");
  SaveAndCompare(o, seamlog, folder, model, report.bytes);
  Check(seamlog.Exit(), "Exit ends Seamlog");
}

// Windows moves the splicer's resources: query-stop, stop, start, with a
// read pending in the bus and Seamlog reading.
void Rebalance(const Options& o) {
  Vbus bus;
  const Report report = ReportUnderWay(bus, Sample(o, 'a'));
  Seamlog seamlog(o, "rebalance", "MODEL-A");
  WaitForFirstKilobyte(bus);
  const bool sent = bus.SendAndWait(0, VBUS_REBALANCE);
  const VBUS_STATUS after = bus.Status(0);
  Check(sent, "query-stop, stop and start all succeed (status " + std::to_string(after.SequenceStatus) + ", " +
                  std::to_string(after.SequenceAnswered) + " answered, still sending " +
                  std::to_string(after.SequenceRequest) + ")");
  const VBUS_STATUS s = bus.Status(0);
  Check(s.QueryStops == 1 && s.Stops == 1 && s.Starts == 2, "each reached the splicer: " + std::to_string(s.QueryStops) +
                                                                 " query-stop, " + std::to_string(s.Stops) + " stop, " +
                                                                 std::to_string(s.Starts) + " starts");
  Check(s.PipeAborts >= 1, "Portline aborted the pipes before the stop went down (" + std::to_string(s.PipeAborts) + ")");
  Check(s.Started == 1 && s.Configured == 1, "the splicer is started and configured again");
  FinishWhole(o, bus, seamlog, report, "rebalance", "MODEL-A");
}

// Windows asks whether the splicer may go, and then does not take it.
void QueryRemoveCancelled(const Options& o) {
  Vbus bus;
  const Report report = ReportUnderWay(bus, Sample(o, 'b'));
  Seamlog seamlog(o, "query-remove", "MODEL-B");
  WaitForFirstKilobyte(bus);
  Check(bus.SendAndWait(0, VBUS_QUERY_REMOVE), "query-remove and cancel-remove succeed");
  const VBUS_STATUS s = bus.Status(0);
  Check(s.QueryRemoves == 1 && s.CancelRemoves == 1, "both reached the splicer");
  FinishWhole(o, bus, seamlog, report, "query-remove", "MODEL-B");
}

// The computer sleeps (S3) and wakes (S0) in the middle of a report. Wine's
// kernel has no PoRequestPowerIrp, so the bus asks the system query (S3)
// and then sends the device requests Portline would have asked for: D3,
// later D0 (see VbusChild.cpp).
void SleepAndWake(const Options& o) {
  Vbus bus;
  const Report report = ReportUnderWay(bus, Sample(o, 'c'));
  Seamlog seamlog(o, "sleep", "MODEL-C");
  WaitForFirstKilobyte(bus);
  const bool slept = Check(bus.SendAndWait(0, VBUS_SLEEP), "the system query S3 and the device's D3 succeed");
  VBUS_STATUS s = bus.Status(0);
  if (!slept) {
    std::printf("      sequences %lu (last status 0x%lx, %lu answered, still sending %lu), device requests sent "
                "%lu, pipe aborts %lu, reads waiting %lu\n",
                s.Sequences, static_cast<unsigned long>(s.SequenceStatus), s.SequenceAnswered, s.SequenceRequest,
                s.DeviceIrpsFromBus, s.PipeAborts, s.PendingReads);
  }
  Check(s.SystemPowerIrps == 1, "Portline passed the system query down to the splicer");
  Check(s.DevicePower == PowerDeviceD3 && s.DeviceSleeps == 1, "the splicer went to D3");
  Check(s.PendingReads == 0 && s.ReadsAtSleep == 0, "with no read left waiting in it: Portline ended them first");
  const ULONG asleep = s.Sent;
  Sleep(500);
  s = bus.Status(0);
  Check(s.Sent == asleep && s.PoweredOffUrbs == 0, "nothing moved while it slept, and no URB was sent to it");
  Check(seamlog.Indicator() == 1, "Seamlog stays connected through the sleep");
  Check(bus.SendAndWait(0, VBUS_WAKE), "the device's D0 succeeds");
  s = bus.Status(0);
  Check(s.DevicePower == PowerDeviceD0 && s.DeviceWakes == 1 && s.DeviceIrpsFromBus == 2, "the splicer is in D0 again");
  FinishWhole(o, bus, seamlog, report, "sleep", "MODEL-C");
}

// Disabling the splicer's device while Seamlog reads, and enabling it again.
// Wine's SetupAPI cannot disable a device and its PnP manager sends no
// query-remove, so the bus sends what Windows sends to disable it
// (query-remove, then remove: Portline leaves the device); Wine cannot start
// a driver again on the same device object, so enabling is the bus reporting
// the splicer anew (the old device object goes, a new one gets Portline).
void DisableAndEnable(const Options& o) {
  Vbus bus;
  const Report report = ReportUnderWay(bus, Sample(o, 'c'));
  std::wstring instance;
  for (const auto& device : PresentDevices(VBUS_HARDWARE_ID)) {
    if (device.instance_id.size() > 2 && device.instance_id.compare(device.instance_id.size() - 2, 2, L"\\1") == 0) {
      instance = device.instance_id;
    }
  }
  Require(!instance.empty(), "the splicer's device is listed");
  Seamlog seamlog(o, "disable", "MODEL-C");
  WaitForFirstKilobyte(bus);

  const std::string error = ChangeState(instance, DICS_DISABLE);
  const bool by_setupapi = error != kStateChangeUnsupported;
  if (by_setupapi) {
    Check(error.empty(), "the device is disabled while connected " + error);
  } else {
    std::printf("      Wine's SetupAPI cannot disable a device: the bus sends query-remove and remove\n");
    Check(bus.SendAndWait(0, VBUS_DISABLE), "query-remove and remove succeed with Seamlog connected");
  }
  Check(bus.WaitFor(0, [](const VBUS_STATUS& s) { return !s.Started && s.Removals == 1; }, 20000),
        "the device was removed (" + std::to_string(bus.Status(0).Removals) + " removal)");
  Check(bus.Status(0).SurpriseRemovals == 0, "in order: no surprise removal");
  Check(ReferencesGivenBack(bus, 0), "Portline gave the bus interface back");
  Check(WaitFor([&] { return seamlog.Indicator() == 0; }, 10000), "Seamlog shows not connected");
  const ULONG sent_while_disabled = bus.Status(0).Sent;
  Check(sent_while_disabled < report.bytes.size(), "the report was interrupted, not finished, while disabled");

  if (by_setupapi) {
    const std::string enabled = ChangeState(instance, DICS_ENABLE);
    Check(enabled.empty(), "the device is enabled again " + enabled);
  } else {
    Check(bus.UnplugAndWait(0) && bus.PlugAndWait(0), "the bus reports the splicer anew and Portline starts on it");
  }
  Check(bus.WaitFor(0, [](const VBUS_STATUS& s) { return s.Started && s.Configured; }, 20000),
        "the device was started and configured again");
  const std::string expected = LiveViewOf(AsReceived(report.bytes));
  Check(seamlog.WaitForLive(expected, 90000), "Seamlog reconnected and holds the whole report, nothing lost, nothing doubled");
  const VBUS_STATUS status = bus.Status(0);
  Check(status.Sent == report.bytes.size(), "the splicer delivered every byte once");
  Check(status.Starts == 2, "Portline started twice (" + std::to_string(status.Starts) + " starts)");
  Check(status.Overruns == 0 && status.RejectedUrbs == 0, "no read overran a packet and no URB was refused");
  SaveAndCompare(o, seamlog, "disable", "MODEL-C", report.bytes);
  Check(seamlog.Exit(), "Exit ends Seamlog");
}

// One synchronous I/O control on the Portline device.
struct Answer {
  bool ok;
  DWORD returned;
  DWORD error;
};
Answer Ioctl(HANDLE device, DWORD code, void* out, DWORD out_size) {
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(device, code, nullptr, 0, out, out_size, &returned, nullptr);
  return {ok != FALSE, returned, ok ? 0 : GetLastError()};
}

void Controls(const Options&) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report report;
  for (int i = 0; i < 300; ++i) report.bytes += static_cast<char>('!' + i % 90);
  Require(bus.SetReport(0, report), "the splicer sends 300 bytes in 64-byte packets");
  Require(bus.PlugAndWait(0, true), "a high-speed splicer is plugged in");
  const auto paths = InterfacePaths(GUID_DEVINTERFACE_PORTLINE);
  Require(paths.size() == 1, "its Portline interface is there");
  HANDLE device = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  Require(device != INVALID_HANDLE_VALUE, "the interface opens");

  // The configuration descriptor: 32 bytes.
  std::vector<unsigned char> buffer(4096, 0xCC);
  Answer a = Ioctl(device, IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, buffer.data(), 8);
  Check(!a.ok && buffer[0] == 0xCC, "GET_CONFIG_DESCRIPTOR into 8 bytes fails and writes nothing (error " +
                                        std::to_string(a.error) + ")");
  a = Ioctl(device, IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, buffer.data(), 32);
  Check(a.ok && a.returned == 32 && buffer[0] == 9 && buffer[1] == 2 && buffer[2] == 32 && buffer[20] == 0x81,
        "GET_CONFIG_DESCRIPTOR into exactly 32 bytes returns the whole descriptor");
  std::fill(buffer.begin(), buffer.end(), 0xCC);
  a = Ioctl(device, IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, buffer.data(), 4096);
  Check(a.ok && a.returned == 32 && buffer[2] == 32 && buffer[27] == 0x02 && buffer[32] == 0xCC,
        "GET_CONFIG_DESCRIPTOR into 4096 bytes returns 32 and leaves the rest alone");

  // High speed: one 32-bit value.
  ULONG value[16];
  std::fill(std::begin(value), std::end(value), 0xCCCCCCCCu);
  a = Ioctl(device, IOCTL_PORTLINE_IS_HIGH_SPEED, value, 2);
  Check(!a.ok && value[0] == 0xCCCCCCCCu, "IS_HIGH_SPEED into 2 bytes fails and writes nothing");
  a = Ioctl(device, IOCTL_PORTLINE_IS_HIGH_SPEED, value, 4);
  Check(a.ok && a.returned == 4 && value[0] == 1, "IS_HIGH_SPEED into 4 bytes answers 1 for a high-speed splicer");
  a = Ioctl(device, IOCTL_PORTLINE_IS_HIGH_SPEED, value, sizeof value);
  Check(a.ok && a.returned == 4 && value[0] == 1 && value[1] == 0xCCCCCCCCu,
        "IS_HIGH_SPEED into 64 bytes returns 4 bytes");

  // Reset with nothing halted, with and without an output buffer.
  a = Ioctl(device, IOCTL_PORTLINE_RESET_PIPE, nullptr, 0);
  Check(a.ok && a.returned == 0, "RESET_PIPE with nothing halted succeeds");
  a = Ioctl(device, IOCTL_PORTLINE_RESET_PIPE, buffer.data(), 4096);
  Check(a.ok && a.returned == 0, "RESET_PIPE with a large buffer returns nothing");
  a = Ioctl(device, 0x222004, buffer.data(), 64);
  Check(!a.ok, "an unknown control code fails");

  // Reads: one packet each; a read too short for the packet halts the pipe
  // and loses nothing once it is reset.
  DWORD got = 0;
  std::string data(4096, '\0');
  Check(ReadFile(device, data.data(), 64, &got, nullptr) && got == 64 && data.compare(0, 64, report.bytes, 0, 64) == 0,
        "a 64-byte read returns the first packet");
  const BOOL short_read = ReadFile(device, data.data(), 10, &got, nullptr);
  Check(!short_read && got == 0, "a 10-byte read of a 64-byte packet fails (babble)");
  Check(bus.Status(0).Halted == 1, "and the IN endpoint is halted");
  a = Ioctl(device, IOCTL_PORTLINE_RESET_PIPE, nullptr, 0);
  Check(a.ok && bus.Status(0).Halted == 0, "RESET_PIPE resets the halted pipe");
  Check(ReadFile(device, data.data(), 64, &got, nullptr) && got == 64 && data.compare(0, 64, report.bytes, 64, 64) == 0,
        "the next read returns the packet that did not fit");
  const BOOL large = ReadFile(device, data.data(), 4096, &got, nullptr);
  Check(large && got == 64 && data.compare(0, 64, report.bytes, 128, 64) == 0,
        "a 4096-byte read returns one 64-byte transfer (got " + std::to_string(got) + ")");
  Check(bus.Status(0).LargestRead <= PORTLINE_MAX_TRANSFER_SIZE,
        "no bulk IN transfer asked for more than 64 bytes (largest " + std::to_string(bus.Status(0).LargestRead) + ")");

  // Writes: at most 64 bytes each.
  const std::string hundred(100, 'w');
  Check(WriteFile(device, hundred.data(), 100, &got, nullptr) && got == 64, "a 100-byte write sends 64 bytes");
  Check(WriteFile(device, "0123456789", 10, &got, nullptr) && got == 10, "a 10-byte write sends 10 bytes");
  Check(bus.Out(0) == std::string(64, 'w') + "0123456789", "the splicer received exactly those 74 bytes");
  CloseHandle(device);

  Check(bus.UnplugAndWait(0) && bus.PlugAndWait(0, false), "replugged as a full-speed splicer");
  const auto again = InterfacePaths(GUID_DEVINTERFACE_PORTLINE);
  device = again.size() == 1 ? CreateFileW(again[0].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
  a = device != INVALID_HANDLE_VALUE ? Ioctl(device, IOCTL_PORTLINE_IS_HIGH_SPEED, value, 4) : Answer{false, 0, 0};
  Check(a.ok && a.returned == 4 && value[0] == 0, "IS_HIGH_SPEED answers 0 for a full-speed splicer");
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
}

void TwoSplicers(const Options& o) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report a, b;
  a.bytes = Sample(o, 'a');
  b.bytes = Sample(o, 'b');
  a.pacing_ms = b.pacing_ms = 5;
  Require(bus.SetReport(0, a) && bus.SetReport(1, b), "two splicers take MODEL-A's and MODEL-B's reports");
  Require(bus.PlugAndWait(0) && bus.PlugAndWait(1), "both are plugged in");
  Seamlog first(o, "two-1", "MODEL-A");
  Seamlog second(o, "two-2", "MODEL-B");
  const std::string text_a = LiveViewOf(AsReceived(a.bytes)), text_b = LiveViewOf(AsReceived(b.bytes));
  const bool done = WaitFor([&] {
    const std::string one = first.Live(), two = second.Live();
    return (one == text_a && two == text_b) || (one == text_b && two == text_a);
  }, 45000, 50);
  Check(done, "each Seamlog holds one splicer's whole report, neither shared");
  if (!done) {
    std::printf("      live texts: %zu and %zu characters (reports %zu and %zu)\n", first.Live().size(),
                second.Live().size(), text_a.size(), text_b.size());
  }
  Check(bus.Status(0).Sent == a.bytes.size() && bus.Status(1).Sent == b.bytes.size(),
        "each splicer delivered its report once");
  Check(first.Exit() && second.Exit(), "Exit ends both");
}

void CloseWithReadPending(const Options& o) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report report;
  report.bytes = Sample(o, 'c').substr(0, 200);
  PlugInSplicer(bus, report, "the splicer sends 200 bytes and then nothing", "the splicer is plugged in");
  ULONG waiting = 0;
  {
    Seamlog seamlog(o, "close", "MODEL-C");
    Check(seamlog.WaitForLive(AsReceived(report.bytes), 60000), "Seamlog received the 200 bytes");
    Check(bus.WaitFor(0, [](const VBUS_STATUS& s) { return s.PendingReads > 1; }, 5000),
          "several reads wait in the splicer for more (" + std::to_string(bus.Status(0).PendingReads) + ")");
    waiting = bus.Status(0).PendingReads;
    Check(seamlog.Exit(10000), "closing Seamlog does not hang");
  }
  Check(bus.WaitFor(0, [&](const VBUS_STATUS& s) { return s.PendingReads == 0 && s.Cancels >= waiting; }, 10000),
        "every waiting read was cancelled (" + std::to_string(bus.Status(0).Cancels) + " cancel(s))");
  Check(bus.UnplugAndWait(0, 20000), "the device can still be removed: no request or lock was left behind");
  Check(ReferencesGivenBack(bus, 0), "the bus interface reference was given back");
}

// A stall and then an unplug while the library keeps reads queued in the
// driver: every read behind the failed one ends, and the report still arrives
// whole and once.
void QueuedReadsStallAndUnplug(const Options& o) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report report;
  report.bytes = Sample(o, 'a');
  report.stall_at = 1500;
  report.unplug_at = 4000;
  // Paced at one packet per 10 ms, so that the library's queue is full when each happens.
  report.pacing_ms = 10;
  PlugInSplicer(bus, report, "the splicer, paced at 6.4 KB/s, will stall at byte 1500 and be pulled out at byte 4000",
                "the splicer is plugged in");
  Seamlog seamlog(o, "queued", "MODEL-A");
  const std::string expected = LiveViewOf(AsReceived(report.bytes));
  ULONG queuedBeforeStall = 0;
  Check(bus.WaitFor(0,
                    [&](const VBUS_STATUS& s) {
                      if (s.Stalls == 0) queuedBeforeStall = std::max(queuedBeforeStall, s.PendingReads);
                      return s.Stalls == 1;
                    },
                    60000),
        "the IN endpoint stalled");
  Check(queuedBeforeStall > 1, "several reads were queued before it (up to " + std::to_string(queuedBeforeStall) + ")");
  Check(bus.WaitFor(0, [](const VBUS_STATUS& s) { return s.Plugged == 0 && s.Devices == 0; }, 60000),
        "the splicer was pulled out at byte 4000 and its device removed");
  const VBUS_STATUS gone = bus.Status(0);
  Check(gone.Sent == 4000, "it had sent exactly 4000 bytes (" + std::to_string(gone.Sent) + ")");
  Check(gone.PipeResets >= 1, "the halted pipe was reset before that");
  Check(gone.GoneTransfers > 1, "several reads were queued when it went (" + std::to_string(gone.GoneTransfers) + ")");
  Check(ReferencesGivenBack(bus, 0), "the bus interface reference was given back");
  Check(WaitFor([&] { return seamlog.Indicator() == 0; }, 5000), "Seamlog shows not connected");
  Check(expected.rfind(seamlog.Live(), 0) == 0 && !seamlog.Live().empty(), "what arrived so far is the report's beginning");

  Check(bus.PlugAndWait(0), "plugged in again, the splicer is configured again");
  Check(seamlog.WaitForLive(expected, 60000), "the whole report arrived, nothing lost, nothing doubled");
  Check(bus.WaitFor(0, [](const VBUS_STATUS& s) { return s.PendingReads > 1; }, 5000),
        "reads are queued again for more (" + std::to_string(bus.Status(0).PendingReads) + ")");
  const VBUS_STATUS status = bus.Status(0);
  Check(status.Sent == report.bytes.size() && status.Plugs == 2, "the splicer went on where it stopped");
  Check(status.Overruns == 0 && status.RejectedUrbs == 0, "no read overran a packet and no URB was refused");
  SaveAndCompare(o, seamlog, "queued", "MODEL-A", report.bytes);
  Check(seamlog.Exit(), "Exit ends Seamlog");
}

// ---------------------------------------------------------------------------
// link-rate: a measurement, not a test. How fast Seamlog receives through the
// whole device path, with --library and with --baseline, at the native poll
// tick and at a tick throttled to 15.6 ms (the test build of Seamlog,
// SEAMLOG_TEST_TICK_MS), from a splicer paced at 64 KB/s and from one at full
// speed. --seamlog must be SeamlogTestHook.exe.

struct RateRun {
  double bytesPerSecond = 0;
  bool whole = false;  // false: the run was cut at the time limit, rate from the bus
  double seamlogCpu = 0, serverCpu = 0;  // % of one core
  double medianNullMs = 0, worstNullMs = 0;
};

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

RateRun MeasureRate(const Options& o, Vbus& bus, const std::string& library, const std::string& folder,
                    const char* tickMs, ULONG pacingMs, const std::string& big, DWORD limitMs) {
  Report warm;
  warm.bytes = "link rate\r";
  Require(bus.SetReport(0, warm), "the splicer takes a short greeting");
  SetEnvironmentVariableA("SEAMLOG_TEST_TICK_MS", tickMs);
  Options run = o;
  run.library = library;
  Seamlog seamlog(run, folder, "MODEL-A");
  SetEnvironmentVariableA("SEAMLOG_TEST_TICK_MS", nullptr);
  Require(seamlog.WaitForLive(LiveViewOf(AsReceived(warm.bytes)), 60000), "Seamlog is connected and received it");
  char prefix[MAX_PATH] = {};
  GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
  const std::string seamlogPid = FindLinuxProcess(seamlog.Folder() + "\\Seamlog.exe");
  const std::string serverPid = FindLinuxProcess("wineserver", std::string("WINEPREFIX=") + prefix);
  Require(!seamlogPid.empty(), "Seamlog's Linux process is found");
  Sleep(500);

  Report report;
  report.bytes = big;
  report.pacing_ms = pacingMs;
  const std::string expected = LiveViewOf(AsReceived(warm.bytes + big));
  const double cpu0 = CpuSeconds(seamlogPid), server0 = CpuSeconds(serverPid);
  const LARGE_INTEGER begun = Now();
  Require(bus.SetReport(0, report), "the splicer starts the long report");
  std::vector<double> probes;
  LARGE_INTEGER lastProbe = begun;
  RateRun result;
  LARGE_INTEGER ended = begun;
  for (;;) {
    const LARGE_INTEGER now = Now();
    if (Seconds(lastProbe, now) >= 0.05) {
      lastProbe = now;
      DWORD_PTR ignored = 0;
      SendMessageTimeoutA(seamlog.Main(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
      probes.push_back(1000.0 * Seconds(now, Now()));
    }
    // The live text is read only once the splicer has sent everything: each
    // read costs the window a cross-process WM_GETTEXT.
    if (bus.Status(0).Sent == big.size() && seamlog.Live() == expected) {
      ended = Now();
      result.whole = true;
      result.bytesPerSecond = static_cast<double>(big.size()) / Seconds(begun, ended);
      break;
    }
    if (Seconds(begun, now) * 1000.0 >= limitMs) {
      ended = Now();
      result.bytesPerSecond = static_cast<double>(bus.Status(0).Sent) / Seconds(begun, ended);
      break;
    }
    Sleep(5);
  }
  const double wall = Seconds(begun, ended);
  result.seamlogCpu = 100.0 * (CpuSeconds(seamlogPid) - cpu0) / wall;
  result.serverCpu = 100.0 * (CpuSeconds(serverPid) - server0) / wall;
  std::sort(probes.begin(), probes.end());
  if (!probes.empty()) {
    result.medianNullMs = probes[probes.size() / 2];
    result.worstNullMs = probes.back();
  }
  Check(seamlog.Exit(), "Exit ends Seamlog");
  return result;
}

void LinkRate(const Options& o) {
  Require(!o.baseline.empty(), "--baseline names the library to compare with");
  Vbus bus;
  OpenEmptyBus(bus);
  Report first;
  first.bytes = "link rate\r";
  PlugInSplicer(bus, first, "the splicer takes a short greeting", "the splicer is plugged in");
  // A long report: the sample repeated to nearly the most the bus holds.
  const std::string sample = Sample(o, 'a');
  std::string big;
  while (big.size() + sample.size() <= VBUS_MAX_REPORT * 9 / 10) big += sample;

  struct Row {
    const char* name;
    ULONG pacingMs;
    const char* tickMs;
  };
  const Row rows[] = {{"64 KB/s splicer, native tick ", 1, nullptr},
                      {"64 KB/s splicer, 15.6 ms tick", 1, "15.6"},
                      {"full speed,      native tick ", 0, nullptr},
                      {"full speed,      15.6 ms tick", 0, "15.6"}};
  std::printf("link rate through Portline.sys on the virtual bus: %zu-byte report, 64-byte packets\n", big.size());
  std::printf("%-30s %-9s %12s %6s %8s %8s %9s %9s\n", "", "library", "bytes/s", "whole", "Seamlog", "server",
              "WM_NULL", "worst");
  int index = 0;
  for (const Row& row : rows) {
    RateRun runs[2];
    const std::string* libraries[2] = {&o.baseline, &o.library};
    for (int which = 0; which < 2; ++which) {
      runs[which] = MeasureRate(o, bus, *libraries[which], "rate-" + std::to_string(index++), row.tickMs,
                                row.pacingMs, big, 20000);
      const RateRun& r = runs[which];
      std::printf("%-30s %-9s %12.0f %6s %7.1f%% %7.1f%% %7.1fms %7.1fms\n", row.name,
                  which == 0 ? "baseline" : "library", r.bytesPerSecond, r.whole ? "yes" : "cut", r.seamlogCpu,
                  r.serverCpu, r.medianNullMs, r.worstNullMs);
      std::fflush(stdout);
    }
    std::printf("%-30s %-9s %11.2fx\n", row.name, "ratio", runs[1].bytesPerSecond / runs[0].bytesPerSecond);
  }
  std::printf("(CPU in %% of one core from /proc; the Wine server serves every process of the prefix, the "
              "bus and driver host included)\n");
}

// ---------------------------------------------------------------------------
// driver-rate: a measurement, not a test. The device path without Seamlog
// and without the library: this program keeps `depth` 64-byte overlapped
// reads queued on Portline.sys and takes a report from a full-speed splicer,
// waiting on each read's event in turn. Prints bytes/s, the time per packet
// as a multiple of one Wine server round trip (an event set, measured in the
// same run) and the CPU the Wine server and the device hosts spend per
// packet; that tells a limit in our code from the cost of Wine's own
// request path.

// User and system seconds of every device host (winedevice.exe) of this prefix.
double DeviceHostCpuSeconds(const std::string& prefix) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA("Z:\\proc\\*", &entry);
  if (search == INVALID_HANDLE_VALUE) return 0;
  double seconds = 0;
  do {
    const std::string pid = entry.cFileName;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ReadWholeFile("Z:\\proc\\" + pid + "\\cmdline").find("winedevice.exe") == std::string::npos) continue;
    if (ReadWholeFile("Z:\\proc\\" + pid + "\\environ").find(prefix) == std::string::npos) continue;
    seconds += CpuSeconds(pid);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return seconds;
}

// Microseconds of one request to the Wine server and back (SetEvent on a
// server event), the median of five batches.
double ServerRoundTripMicroseconds() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Require(event != nullptr, "an event for the round trips");
  std::vector<double> batches;
  for (int batch = 0; batch < 5; ++batch) {
    const LARGE_INTEGER from = Now();
    for (int i = 0; i < 1000; ++i) SetEvent(event);
    batches.push_back(Seconds(from, Now()) * 1e6 / 1000.0);
  }
  CloseHandle(event);
  std::sort(batches.begin(), batches.end());
  return batches[batches.size() / 2];
}

struct DriverRun {
  double bytesPerSecond = 0;
  double serverCpuPerPacketUs = 0, hostCpuPerPacketUs = 0;
};

DriverRun MeasureDriver(Vbus& bus, std::size_t depth, const std::string& big) {
  Report warm;
  warm.bytes = "driver rate\r";
  Require(bus.SetReport(0, warm), "the splicer takes a short greeting");
  const auto paths = InterfacePaths(GUID_DEVINTERFACE_PORTLINE);
  Require(paths.size() == 1, "its Portline interface is there");
  HANDLE device = CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  Require(device != INVALID_HANDLE_VALUE, "the interface opens for overlapped reads");
  struct Read {
    OVERLAPPED operation;
    HANDLE event;
    unsigned char bytes[64];
  };
  std::vector<Read> reads(depth);
  auto start = [&](Read& read) {
    read.operation = OVERLAPPED{};
    read.operation.hEvent = read.event;
    ResetEvent(read.event);
    return ReadFile(device, read.bytes, sizeof read.bytes, nullptr, &read.operation) != FALSE ||
           GetLastError() == ERROR_IO_PENDING;
  };
  for (Read& read : reads) {
    read.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Require(read.event != nullptr && start(read), "a read is queued");
  }
  std::string received;
  for (std::size_t next = 0; received.size() < warm.bytes.size(); next = (next + 1) % depth) {
    Read& read = reads[next];
    DWORD moved = 0;
    Require(GetOverlappedResult(device, &read.operation, &moved, TRUE) != FALSE, "the greeting arrives");
    received.append(reinterpret_cast<char*>(read.bytes), moved);
    Require(start(read), "the read is queued again");
  }
  Require(received == warm.bytes, "the greeting arrives whole");

  char prefix[MAX_PATH] = {};
  GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
  const std::string serverPid = FindLinuxProcess("wineserver", std::string("WINEPREFIX=") + prefix);
  const std::string host = std::string("WINEPREFIX=") + prefix;
  Report report;
  report.bytes = big;
  const double server0 = CpuSeconds(serverPid), host0 = DeviceHostCpuSeconds(host);
  const LARGE_INTEGER begun = Now();
  Require(bus.SetReport(0, report), "the splicer starts the long report");
  received.clear();
  std::size_t packets = 0;
  for (std::size_t next = (warm.bytes.size() + 63) / 64 % depth; received.size() < big.size();
       next = (next + 1) % depth) {
    Read& read = reads[next];
    DWORD moved = 0;
    if (WaitForSingleObject(read.event, 20000) != WAIT_OBJECT_0) break;
    Require(GetOverlappedResult(device, &read.operation, &moved, FALSE) != FALSE, "a read ends well");
    received.append(reinterpret_cast<char*>(read.bytes), moved);
    ++packets;
    Require(start(read), "the read is queued again");
  }
  DriverRun run;
  const double wall = Seconds(begun, Now());
  Check(received == big, "the long report arrives whole, in order");
  run.bytesPerSecond = static_cast<double>(received.size()) / wall;
  if (packets != 0) {
    run.serverCpuPerPacketUs = 1e6 * (CpuSeconds(serverPid) - server0) / static_cast<double>(packets);
    run.hostCpuPerPacketUs = 1e6 * (DeviceHostCpuSeconds(host) - host0) / static_cast<double>(packets);
  }
  CancelIo(device);
  for (Read& read : reads) {
    WaitForSingleObject(read.event, 5000);
    CloseHandle(read.event);
  }
  CloseHandle(device);
  return run;
}

void DriverRate(const Options&) {
  Vbus bus;
  OpenEmptyBus(bus);
  Report first;
  first.bytes = "driver rate\r";
  PlugInSplicer(bus, first, "the splicer takes a short greeting", "the splicer is plugged in");
  std::string big;
  for (std::size_t i = 0; big.size() < 64 * 2000; ++i) big += static_cast<char>('!' + i % 90);
  const double roundTripUs = ServerRoundTripMicroseconds();
  std::printf("driver rate: %zu-byte report from a full-speed splicer, 64-byte reads straight on Portline.sys\n",
              big.size());
  std::printf("one Wine server round trip: %.1f us\n", roundTripUs);
  std::printf("%-14s %12s %14s %18s %18s\n", "reads queued", "bytes/s", "packet/trip", "server us/packet",
              "hosts us/packet");
  for (std::size_t depth : {std::size_t{1}, std::size_t{16}, std::size_t{128}}) {
    const DriverRun run = MeasureDriver(bus, depth, big);
    const double packetUs = 64.0 * 1e6 / run.bytesPerSecond;
    std::printf("%-14zu %12.0f %13.1fx %18.0f %18.0f\n", depth, run.bytesPerSecond, packetUs / roundTripUs,
                run.serverCpuPerPacketUs, run.hostCpuPerPacketUs);
    std::fflush(stdout);
  }
}

// Plugs in the first splicer with the report of --report, for a session by hand.
void Serve(const Options& o) {
  Vbus bus;
  OpenEmptyBus(bus);
  const std::string report = ReadWholeFile(o.report);
  Require(!report.empty(), "the report " + o.report + " is read");
  Report served;
  served.bytes = SplicerStream(report);
  PlugInSplicer(bus, served, "the splicer takes the report", "the splicer is plugged in and configured");
}

// Prints what the bus knows of each splicer.
void PrintStatus(const Options&) {
  Vbus bus;
  Require(bus.Open(10000), "the virtual bus is there");
  for (ULONG child = 0; child < VBUS_CHILDREN; ++child) {
    const VBUS_STATUS s = bus.Status(child);
    std::printf("splicer %lu: plugged %lu devices %lu started %lu configured %lu halted %lu sent %lu/%lu "
                "pending %lu plugs %lu starts %lu removals %lu reads %lu cancels %lu stalls %lu resets %lu "
                "overruns %lu gone %lu rejected %lu references %lu\n",
                child, s.Plugged, s.Devices, s.Started, s.Configured, s.Halted, s.Sent, s.ReportLength,
                s.PendingReads, s.Plugs, s.Starts, s.Removals, s.Reads, s.Cancels, s.Stalls, s.PipeResets,
                s.Overruns, s.GoneTransfers, s.RejectedUrbs, s.InterfaceReferences);
  }
  const auto devices = PresentDevices(VBUS_HARDWARE_ID);
  for (const auto& device : devices) {
    std::printf("device %s service %s\n", Narrow(device.instance_id).c_str(), Narrow(device.service).c_str());
  }
}

bool ParseOptions(int argc, char** argv, Options& o) {
  if (argc < 2) return false;
  o.scenario = argv[1];
  const std::map<std::string, std::string*> paths{{"--drivers", &o.drivers}, {"--seamlog", &o.seamlog},
                                                  {"--library", &o.library}, {"--convert", &o.convert},
                                                  {"--samples", &o.samples}, {"--work", &o.work},
                                                  {"--report", &o.report},   {"--screens", &o.screens},
                                                  {"--baseline", &o.baseline}};
  for (int i = 2; i + 1 < argc; i += 2) {
    auto it = paths.find(argv[i]);
    if (it == paths.end()) return false;
    *it->second = WindowsPath(argv[i + 1]);
  }
  if (o.scenario == "status" || o.scenario == "driver-rate") return true;
  if (o.scenario == "serve") return !o.report.empty();
  return o.scenario == "install" ? !o.drivers.empty() : !o.seamlog.empty() && !o.work.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr, "usage: realstack install --drivers DIR | realstack SCENARIO --seamlog EXE --library DLL "
                         "--convert EXE --samples DIR --work DIR\n");
    return 2;
  }
  const std::map<std::string, void (*)(const Options&)> scenarios{
      {"install", Install},
      {"status", PrintStatus},
      {"serve", Serve},
      {"whole-report-a", [](const Options& x) { WholeReport(x, 'a', 64, 0); }},
      {"whole-report-b", [](const Options& x) { WholeReport(x, 'b', 7, 0); }},
      {"whole-report-c", [](const Options& x) { WholeReport(x, 'c', 33, 2); }},
      {"unplug-with-reads-pending", UnplugWithReadsPending},
      {"stalled-in-pipe", StalledInPipe},
      {"disable-and-enable", DisableAndEnable},
      {"controls", Controls},
      {"two-splicers", TwoSplicers},
      {"close-with-read-pending", CloseWithReadPending},
      {"queued-reads-stall-and-unplug", QueuedReadsStallAndUnplug},
      {"rebalance", Rebalance},
      {"query-remove-cancelled", QueryRemoveCancelled},
      {"sleep-and-wake", SleepAndWake},
      {"link-rate", LinkRate},
      {"driver-rate", DriverRate}};
  RunChecked([&] {
    auto it = scenarios.find(o.scenario);
    if (it == scenarios.end()) Fail("unknown scenario " + o.scenario);
    if (!o.work.empty()) MakeDirectories(o.work);
    it->second(o);
  });
  return Summary(o.scenario);
}
