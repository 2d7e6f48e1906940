#include "device_channel.h"

#include <cstring>

#include "PortlinePublic.h"

namespace portline {
namespace {

// A fresh transfer block with its event, or null.
std::unique_ptr<Transfer> NewTransfer() {
  auto transfer = std::make_unique<Transfer>();
  transfer->event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!transfer->event) return nullptr;
  return transfer;
}

// Gives a transfer block up for good, event and all: the device may still
// write into it and signal its event.
void Abandon(std::unique_ptr<Transfer>& transfer) { static_cast<void>(transfer.release()); }

void Arm(Transfer& transfer) {
  transfer.operation = OVERLAPPED{};
  transfer.operation.hEvent = transfer.event.get();
  ResetEvent(transfer.event.get());
}

}  // namespace

bool DeviceChannel::Open(std::unique_ptr<PipeIo> pipes) {
  Close();
  if (pipes == nullptr) return false;
  write_ = NewTransfer();
  pipes_ = std::move(pipes);
  if (write_ == nullptr) {
    Close();
    return false;
  }
  return true;
}

bool DeviceChannel::FillQueue() {
  while (queued_ < kReadsQueued) {
    std::unique_ptr<Transfer>& slot = Slot(queued_);
    if (slot == nullptr) slot = NewTransfer();
    if (slot == nullptr) return false;
    Arm(*slot);
    // A read that finished at once is collected like any other.
    if (!pipes_->StartRead(slot->bytes, kTransferSize, slot->operation) && GetLastError() != ERROR_IO_PENDING)
      return false;
    ++queued_;
  }
  return true;
}

std::int32_t DeviceChannel::Read(std::uint8_t* destination) {
  if (!IsOpen()) return kFailure;
  // A refusal while reads are still queued is reported once they have all
  // been handed out.
  FillQueue();
  if (queued_ == 0) {
    pipes_->Recover(true);
    return kFailure;
  }
  Transfer& oldest = *Slot(0);
  DWORD moved = 0;
  const bool delivered = pipes_->Result(oldest.operation, moved);
  if (!delivered && GetLastError() == ERROR_IO_INCOMPLETE) return 0;
  oldest_ = (oldest_ + 1) % kReadsQueued;
  --queued_;
  if (!delivered) {
    // Everything that arrived before the failure has been handed out. The
    // reads behind it end before the pipe is reset, so that none of them
    // takes a packet of the next connection.
    CancelQueued();
    WaitQueued(kCloseWaitMs, true);
    pipes_->Recover(true);
    return kFailure;
  }
  if (moved > kTransferSize) moved = kTransferSize;
  std::memcpy(destination, oldest.bytes, moved);
  // The freed block goes straight back to the device.
  FillQueue();
  return static_cast<std::int32_t>(moved);
}

void DeviceChannel::CancelQueued() {
  for (std::size_t age = 0; age < queued_; ++age) {
    Transfer& read = *Slot(age);
    if (WaitForSingleObject(read.event.get(), 0) != WAIT_OBJECT_0) pipes_->Cancel(read.operation);
  }
}

bool DeviceChannel::WaitQueued(DWORD waitMs, bool abandon) {
  const DWORD began = GetTickCount();
  bool allEnded = true;
  for (std::size_t age = 0; age < queued_; ++age) {
    const DWORD spent = GetTickCount() - began;
    if (WaitForSingleObject(Slot(age)->event.get(), spent < waitMs ? waitMs - spent : 0) == WAIT_OBJECT_0)
      continue;
    allEnded = false;
    if (abandon) Abandon(Slot(age));
  }
  if (abandon) {
    oldest_ = 0;
    queued_ = 0;
  }
  return allEnded;
}

std::int32_t DeviceChannel::Write(const std::uint8_t* source, std::int32_t count, DWORD timeoutMs) {
  if (!IsOpen() || write_ == nullptr || count < 1) return kFailure;
  const DWORD length = count > static_cast<std::int32_t>(kTransferSize) ? kTransferSize : static_cast<DWORD>(count);
  std::memcpy(write_->bytes, source, length);
  Arm(*write_);
  if (!pipes_->StartWrite(write_->bytes, length, write_->operation) && GetLastError() != ERROR_IO_PENDING) {
    pipes_->Recover(false);
    return kFailure;
  }
  if (WaitForSingleObject(write_->event.get(), timeoutMs) != WAIT_OBJECT_0) {
    if (!CancelAndWait(*write_, kCloseWaitMs)) {
      Abandon(write_);
      write_ = NewTransfer();
    }
    return kFailure;
  }
  DWORD moved = 0;
  if (!pipes_->Result(write_->operation, moved)) {
    pipes_->Recover(false);
    return kFailure;
  }
  return static_cast<std::int32_t>(moved);
}

bool DeviceChannel::CancelAndWait(Transfer& transfer, DWORD waitMs) {
  pipes_->Cancel(transfer.operation);
  return WaitForSingleObject(transfer.event.get(), waitMs) == WAIT_OBJECT_0;
}

void DeviceChannel::Close() {
  if (pipes_ != nullptr) {
    CancelQueued();
    const bool allEnded = WaitQueued(kCloseWaitMs, false);
    pipes_->Release();
    // Closing the device cancels what is left; give it one more short while.
    if (!allEnded) WaitQueued(kCloseWaitMs / 4, true);
    pipes_.reset();
  }
  for (std::unique_ptr<Transfer>& read : reads_) read.reset();
  oldest_ = 0;
  queued_ = 0;
  write_.reset();
}

namespace {

using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

// CancelIoEx where kernel32 has it (Vista and later). On XP, CancelIo cancels
// what the calling thread issued on the handle, and every call of this library
// comes from the application's one thread.
void CancelTransfer(HANDLE file, OVERLAPPED& operation) {
  static const CancelIoExFn cancelIoEx = [] {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel32 != nullptr ? GetProcAddress(kernel32, "CancelIoEx") : nullptr;
    return reinterpret_cast<CancelIoExFn>(reinterpret_cast<void*>(found));
  }();
  if (cancelIoEx != nullptr)
    cancelIoEx(file, &operation);
  else
    CancelIo(file);
}

class FileIo final : public PipeIo {
 public:
  explicit FileIo(HANDLE file) : file_(file) {}

  bool StartRead(std::uint8_t* buffer, DWORD length, OVERLAPPED& operation) override {
    return ::ReadFile(file_.get(), buffer, length, nullptr, &operation) != FALSE;
  }
  bool StartWrite(const std::uint8_t* bytes, DWORD length, OVERLAPPED& operation) override {
    return ::WriteFile(file_.get(), bytes, length, nullptr, &operation) != FALSE;
  }
  bool Result(OVERLAPPED& operation, DWORD& moved) override {
    return GetOverlappedResult(file_.get(), &operation, &moved, FALSE) != FALSE;
  }
  void Cancel(OVERLAPPED& operation) override { CancelTransfer(file_.get(), operation); }

  // The driver remembers which pipe reported halted and resets it on request;
  // with no halted pipe the request does nothing.
  void Recover(bool) override {
    auto control = NewTransfer();
    if (control == nullptr) return;
    Arm(*control);
    DWORD ignored = 0;
    if (!DeviceIoControl(file_.get(), IOCTL_PORTLINE_RESET_PIPE, nullptr, 0, nullptr, 0, &ignored,
                         &control->operation) &&
        GetLastError() != ERROR_IO_PENDING)
      return;
    if (WaitForSingleObject(control->event.get(), kWriteTimeoutMs) == WAIT_OBJECT_0) return;
    CancelTransfer(file_.get(), control->operation);
    if (WaitForSingleObject(control->event.get(), kCloseWaitMs) != WAIT_OBJECT_0) Abandon(control);
  }

  void Release() override { file_.Reset(); }

 private:
  win32util::KernelHandle file_;
};

}  // namespace

std::unique_ptr<PipeIo> FilePipes(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return nullptr;
  return std::make_unique<FileIo>(file);
}

}  // namespace portline
