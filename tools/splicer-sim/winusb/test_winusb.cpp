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
// A read stays pending until the caller asks for its result; then it takes
// the next chunk of the report, if there is one. Interface handles are
// pointers to Interface records.
#include <windows.h>
#include <winusb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
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

struct Interface {
  HANDLE file;
  std::int32_t replayHandle = 0;
  OVERLAPPED* read = nullptr;  // the pending read, if any
  PUCHAR readBuffer = nullptr;
  ULONG readLength = 0;
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

// Gives the pending read the next chunk, a failure, or leaves it pending.
void Advance(Interface& usb) {
  if (usb.read == nullptr) return;
  std::uint8_t chunk[64] = {};
  const bool wasUnplugged = splicer->Unplugged(), wasHalted = splicer->Halted();
  const std::int32_t got = splicer->Read(usb.replayHandle, chunk);
  if (got == 0) return;
  OVERLAPPED* read = usb.read;
  usb.read = nullptr;
  if (got == kFailure) {
    if (splicer->Unplugged() && !wasUnplugged) Note("unplugged " + Position());
    if (splicer->Halted() && !wasHalted) Note("stalled " + Position());
    End(read, splicer->Halted() ? kStatusUnsuccessful : kStatusNotConnected, 0);
    return;
  }
  const ULONG n = std::min<ULONG>(static_cast<ULONG>(got), usb.readLength);
  std::memcpy(usb.readBuffer, chunk, n);
  if (splicer->Finished()) Note("finished " + Position());
  End(read, 0, n);
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
  if (usb->read != nullptr) Note("free with a read pending");
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
  if (usb == nullptr || pipe != kInPipe || operation == nullptr || buffer == nullptr || usb->read != nullptr) {
    Note("bad read");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  operation->Internal = kStatusPending;
  operation->InternalHigh = 0;
  usb->read = operation;
  usb->readBuffer = buffer;
  usb->readLength = length;
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
    if (operation == usb->read) Advance(*usb);
  }
  return GetOverlappedResult(usb->file, operation, moved, wait);
}

WINBOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  std::lock_guard<std::mutex> guard(lock);
  Interface* usb = From(handle);
  if (usb == nullptr) return FALSE;
  if (pipe == kInPipe && usb->read != nullptr) {
    End(usb->read, kStatusCancelled, 0);
    usb->read = nullptr;
    Note("abort ended a pending read");
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
