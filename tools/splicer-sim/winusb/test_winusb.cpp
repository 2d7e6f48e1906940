// A test-only winusb.dll: a simulated splicer behind the WinUSB calls that
// PortlineUSB.dll makes, for end-to-end tests under Wine, whose own winusb.dll
// has no device behind it. Installed in Wine's system folder, where
// PortlineUSB.dll looks for it, and used with WINEDLLOVERRIDES=winusb=n.
// Never shipped.
//
// Settings come from WinUsbSim.ini in the folder of the program that loaded
// this DLL, so each test keeps its own beside its program, in the format of
// PortlineSim.ini (report, bytes per read, refused opens, unplug after N bytes
// of a connection, stall at byte N, call log). The call log uses the
// simulator's words ("create 0", "unplugged", "close 0") and adds WinUSB's:
// pipe policies, "stalled", "reset pipe", "abort ended a pending read", and
// "free with a read pending" (a fault of the caller).
//
// Reads queue up in the order they were issued. A read stays pending until
// the caller asks for its result; then the queue, oldest first, takes the
// next chunks of the report up to that read, as far as the report goes (a
// failure ends the read it reaches). Interface handles are pointers to
// Interface records.
#include <windows.h>
#include <winusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

#include "sim_settings.h"
#include "splicer_replay.h"

namespace {

using portline::sim::kFailure;
using portline::sim::SplicerReplay;

constexpr UCHAR kInPipe = 0x81;
constexpr UCHAR kOutPipe = 0x02;
constexpr DWORD kStatusPending = 0x103;
constexpr DWORD kStatusUnsuccessful = 0xC0000001;      // a stalled endpoint: ERROR_GEN_FAILURE
constexpr DWORD kStatusNotConnected = 0xC000009D;      // unplugged: ERROR_DEVICE_NOT_CONNECTED
constexpr DWORD kStatusCancelled = 0xC0000120;         // aborted: ERROR_OPERATION_ABORTED

struct PendingRead {
  OVERLAPPED* operation;
  PUCHAR buffer;
  ULONG length;
};

struct Interface {
  HANDLE file;
  std::int32_t replayHandle = 0;
  std::deque<PendingRead> reads;  // pending reads, oldest first
};

std::mutex lock;
std::unique_ptr<SplicerReplay> splicer;
std::filesystem::path callLog;

std::filesystem::path ProgramFolder() {
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return std::filesystem::path(path).parent_path();
}

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Note(const std::string& line) {
  if (callLog.empty()) return;
  std::ofstream(callLog, std::ios::binary | std::ios::app) << line << "\r\n";
}

std::string Position() { return "position=" + std::to_string(splicer->Position()); }

bool Ready() {
  if (splicer != nullptr) return true;
  const std::filesystem::path folder = ProgramFolder();
  const auto parsed = portline::sim::ParseSimSettings(ReadWhole(folder / "WinUsbSim.ini"));
  if (!parsed.Usable()) {
    std::ofstream(folder / "WinUsbSim.log", std::ios::app) << "error: WinUsbSim.ini: " << parsed.error << "\n";
    return false;
  }
  std::filesystem::path report = parsed.settings.reportFile;
  if (report.is_relative()) report = folder / report;
  const std::string bytes = ReadWhole(report);
  if (!parsed.settings.callLog.empty()) {
    callLog = parsed.settings.callLog;
    if (callLog.is_relative()) callLog = folder / callLog;
  }
  splicer = std::make_unique<SplicerReplay>(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), parsed.settings);
  Note("loaded " + report.filename().string() + " bytes=" + std::to_string(bytes.size()));
  return true;
}

void End(OVERLAPPED* operation, DWORD status, DWORD moved) {
  operation->Internal = status;
  operation->InternalHigh = moved;
  if (operation->hEvent != nullptr) SetEvent(operation->hEvent);
}

bool Queued(const Interface& usb, const OVERLAPPED* operation) {
  return std::any_of(usb.reads.begin(), usb.reads.end(),
                     [&](const PendingRead& read) { return read.operation == operation; });
}

// Gives the queued reads, oldest first, the next chunks or a failure, until
// `target` has ended or the report has nothing more for now.
void Advance(Interface& usb, const OVERLAPPED* target) {
  while (!usb.reads.empty() && Queued(usb, target)) {
    std::uint8_t chunk[64] = {};
    const bool wasUnplugged = splicer->Unplugged(), wasHalted = splicer->Halted();
    const std::int32_t got = splicer->Read(usb.replayHandle, chunk);
    if (got == 0) return;
    const PendingRead read = usb.reads.front();
    usb.reads.pop_front();
    if (got == kFailure) {
      if (splicer->Unplugged() && !wasUnplugged) Note("unplugged " + Position());
      if (splicer->Halted() && !wasHalted) Note("stalled " + Position());
      End(read.operation, splicer->Halted() ? kStatusUnsuccessful : kStatusNotConnected, 0);
      continue;
    }
    const ULONG n = std::min<ULONG>(static_cast<ULONG>(got), read.length);
    std::memcpy(read.buffer, chunk, n);
    if (splicer->Finished()) Note("finished " + Position());
    End(read.operation, 0, n);
  }
}

Interface* From(WINUSB_INTERFACE_HANDLE handle) { return static_cast<Interface*>(handle); }

}  // namespace

extern "C" {

WINBOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock);
  if (file == INVALID_HANDLE_VALUE || handle == nullptr || !Ready()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto usb = std::make_unique<Interface>();
  usb->file = file;
  const std::int32_t result = splicer->Create(usb->replayHandle);
  if (result != 0) {
    Note("create refused " + std::to_string(result));
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  Note("create 0 " + Position());
  *handle = usb.release();
  return TRUE;
}

WINBOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock);
  std::unique_ptr<Interface> usb(From(handle));
  if (usb == nullptr) return FALSE;
  if (!usb->reads.empty()) Note("free with a read pending");
  Note((splicer->Close(usb->replayHandle) == 0 ? "close 0 " : "close stray ") + Position());
  return TRUE;
}

WINBOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE, UCHAR setting,
                                             PUSB_INTERFACE_DESCRIPTOR descriptor) {
  if (setting != 0 || descriptor == nullptr) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  *descriptor = USB_INTERFACE_DESCRIPTOR{};
  descriptor->bLength = sizeof *descriptor;
  descriptor->bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
  descriptor->bNumEndpoints = 3;
  descriptor->bInterfaceClass = 0xFF;
  return TRUE;
}

// An interrupt pipe first, so the caller has to pick the bulk ones by type.
WINBOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE, UCHAR setting, UCHAR index,
                                PWINUSB_PIPE_INFORMATION pipe) {
  static const WINUSB_PIPE_INFORMATION pipes[] = {
      {UsbdPipeTypeInterrupt, 0x83, 8, 10}, {UsbdPipeTypeBulk, kInPipe, 64, 0}, {UsbdPipeTypeBulk, kOutPipe, 64, 0}};
  if (setting != 0 || index >= std::size(pipes) || pipe == nullptr) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  *pipe = pipes[index];
  return TRUE;
}

WINBOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR pipe, ULONG policy, ULONG length, PVOID value) {
  std::lock_guard<std::mutex> guard(lock);
  if (policy == PIPE_TRANSFER_TIMEOUT && length == sizeof(ULONG) && value != nullptr) {
    char line[64];
    std::snprintf(line, sizeof line, "policy pipe 0x%02X timeout %lu", pipe, *static_cast<ULONG*>(value));
    Note(line);
  }
  return TRUE;
}

WINBOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                               PULONG, LPOVERLAPPED operation) {
  std::lock_guard<std::mutex> guard(lock);
  Interface* usb = From(handle);
  if (usb == nullptr || pipe != kInPipe || operation == nullptr || buffer == nullptr || Queued(*usb, operation)) {
    Note("bad read");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  operation->Internal = kStatusPending;
  operation->InternalHigh = 0;
  usb->reads.push_back(PendingRead{operation, buffer, length});
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

WINBOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG,
                                LPOVERLAPPED operation) {
  std::lock_guard<std::mutex> guard(lock);
  Interface* usb = From(handle);
  if (usb == nullptr || pipe != kOutPipe || operation == nullptr || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::int32_t sent = splicer->Write(usb->replayHandle, buffer, static_cast<std::int32_t>(length));
  Note("write " + std::to_string(sent));
  End(operation, sent == kFailure ? kStatusNotConnected : 0, sent == kFailure ? 0 : static_cast<DWORD>(sent));
  return sent != kFailure;
}

// As WinUSB does, the outcome is read from the OVERLAPPED by the system.
WINBOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED operation, LPDWORD moved,
                                          WINBOOL wait) {
  Interface* usb = From(handle);
  if (usb == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> guard(lock);
    Advance(*usb, operation);
  }
  return GetOverlappedResult(usb->file, operation, moved, wait);
}

WINBOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  std::lock_guard<std::mutex> guard(lock);
  Interface* usb = From(handle);
  if (usb == nullptr) return FALSE;
  if (pipe == kInPipe && !usb->reads.empty()) {
    for (const PendingRead& read : usb->reads) End(read.operation, kStatusCancelled, 0);
    Note("abort ended a pending read (" + std::to_string(usb->reads.size()) + " queued)");
    usb->reads.clear();
  }
  return TRUE;
}

WINBOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  std::lock_guard<std::mutex> guard(lock);
  if (From(handle) == nullptr) return FALSE;
  if (pipe == kInPipe && splicer->ResetPipe()) Note("reset pipe " + Position());
  return TRUE;
}

}  // extern "C"
