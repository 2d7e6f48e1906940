#include "vbus_client.h"

#include <vector>

namespace realstack {

Vbus::~Vbus() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

bool Vbus::Open(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  for (;;) {
    file_ = CreateFileA(VBUS_CONTROL_PATH_A, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file_ != INVALID_HANDLE_VALUE) return true;
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(200);
  }
}

bool Vbus::Control(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
  DWORD ignored = 0;
  return DeviceIoControl(file_, code, const_cast<void*>(in), in_size, out, out_size,
                         returned != nullptr ? returned : &ignored, nullptr) != FALSE;
}

bool Vbus::Plug(ULONG child, bool high_speed) {
  const VBUS_PLUG plug{child, high_speed ? 1u : 0u};
  return Control(IOCTL_VBUS_PLUG, &plug, sizeof plug);
}

bool Vbus::Unplug(ULONG child) { return Control(IOCTL_VBUS_UNPLUG, &child, sizeof child); }

bool Vbus::SetReport(ULONG child, const Report& report) {
  std::vector<unsigned char> request(sizeof(VBUS_REPORT) + report.bytes.size());
  VBUS_REPORT header{child, report.packet_size, report.pacing_ms, report.stall_at, report.unplug_at};
  memcpy(request.data(), &header, sizeof header);
  if (!report.bytes.empty()) memcpy(request.data() + sizeof header, report.bytes.data(), report.bytes.size());
  return Control(IOCTL_VBUS_SET_REPORT, request.data(), static_cast<DWORD>(request.size()));
}

VBUS_STATUS Vbus::Status(ULONG child) {
  VBUS_STATUS status{};
  Control(IOCTL_VBUS_GET_STATUS, &child, sizeof child, &status, sizeof status);
  return status;
}

std::string Vbus::Out(ULONG child) {
  std::string bytes(VBUS_OUT_CAPACITY, '\0');
  DWORD returned = 0;
  if (!Control(IOCTL_VBUS_GET_OUT, &child, sizeof child, bytes.data(), VBUS_OUT_CAPACITY, &returned)) return {};
  bytes.resize(returned);
  return bytes;
}

bool Vbus::WaitFor(ULONG child, const std::function<bool(const VBUS_STATUS&)>& condition, DWORD milliseconds) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (condition(Status(child))) return true;
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(20);
  }
}

bool Vbus::UnplugAndWait(ULONG child, DWORD milliseconds) {
  return Unplug(child) && WaitFor(child, [](const VBUS_STATUS& s) { return s.Devices == 0; }, milliseconds);
}

bool Vbus::PlugAndWait(ULONG child, bool high_speed, DWORD milliseconds) {
  return Plug(child, high_speed) &&
         WaitFor(child, [](const VBUS_STATUS& s) { return s.Started && s.Configured; }, milliseconds);
}

}  // namespace realstack

namespace realstack {

bool Vbus::SendAndWait(ULONG child, ULONG what, DWORD milliseconds) {
  const ULONG before = Status(child).Sequences;
  const VBUS_SEND send{child, what};
  if (!Control(IOCTL_VBUS_SEND, &send, sizeof send)) return false;
  return WaitFor(child, [&](const VBUS_STATUS& s) { return s.Sequences != before; }, milliseconds) &&
         Status(child).SequenceStatus == 0;
}

}  // namespace realstack
