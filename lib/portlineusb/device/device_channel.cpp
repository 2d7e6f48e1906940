#include "device_channel.h"

#include <cstring>

namespace portline {

bool DeviceChannel::Open(HANDLE file) {
  Close();
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return false;
  read_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  write_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  file_ = file;
  if (read_event_ == nullptr || write_event_ == nullptr) {
    Close();
    return false;
  }
  return true;
}

bool DeviceChannel::StartRead() {
  read_ = OVERLAPPED{};
  read_.hEvent = read_event_;
  ResetEvent(read_event_);
  if (::ReadFile(file_, read_buffer_, kTransferSize, nullptr, &read_)) {
    read_pending_ = true;  // finished at once; collected below like any other
    return true;
  }
  if (GetLastError() != ERROR_IO_PENDING) return false;
  read_pending_ = true;
  return true;
}

std::int32_t DeviceChannel::Read(std::uint8_t* destination) {
  if (!IsOpen()) return kFailure;
  if (!read_pending_ && !StartRead()) return kFailure;
  DWORD moved = 0;
  if (!GetOverlappedResult(file_, &read_, &moved, FALSE)) {
    if (GetLastError() == ERROR_IO_INCOMPLETE) return 0;
    read_pending_ = false;
    return kFailure;
  }
  read_pending_ = false;
  if (moved > kTransferSize) moved = kTransferSize;
  std::memcpy(destination, read_buffer_, moved);
  // Keep one read pending for the next poll. A refusal now is reported at the
  // next call, after these bytes have been delivered.
  StartRead();
  return static_cast<std::int32_t>(moved);
}

std::int32_t DeviceChannel::Write(const std::uint8_t* source, std::int32_t count, DWORD timeout_ms) {
  if (!IsOpen() || count < 1) return kFailure;
  const DWORD length = count > static_cast<std::int32_t>(kTransferSize) ? kTransferSize : static_cast<DWORD>(count);
  std::memcpy(write_buffer_, source, length);
  OVERLAPPED write{};
  write.hEvent = write_event_;
  ResetEvent(write_event_);
  if (!::WriteFile(file_, write_buffer_, length, nullptr, &write) && GetLastError() != ERROR_IO_PENDING)
    return kFailure;
  if (WaitForSingleObject(write_event_, timeout_ms) != WAIT_OBJECT_0) {
    CancelAndWait(write);
    return kFailure;
  }
  DWORD moved = 0;
  if (!GetOverlappedResult(file_, &write, &moved, FALSE)) return kFailure;
  return static_cast<std::int32_t>(moved);
}

void DeviceChannel::CancelAndWait(OVERLAPPED& operation) {
  CancelIoEx(file_, &operation);
  DWORD moved = 0;
  GetOverlappedResult(file_, &operation, &moved, TRUE);
}

void DeviceChannel::Close() {
  if (file_ != INVALID_HANDLE_VALUE) {
    if (read_pending_) CancelAndWait(read_);
    read_pending_ = false;
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }
  if (read_event_ != nullptr) CloseHandle(read_event_);
  if (write_event_ != nullptr) CloseHandle(write_event_);
  read_event_ = write_event_ = nullptr;
}

}  // namespace portline
