#include "winusb_pipes.h"

#include <winusb.h>

namespace portline {
namespace {

// The functions of winusb.dll this library uses, looked up once.
struct WinUsbApi {
  decltype(&WinUsb_Initialize) Initialize = nullptr;
  decltype(&WinUsb_Free) Free = nullptr;
  decltype(&WinUsb_QueryInterfaceSettings) QueryInterfaceSettings = nullptr;
  decltype(&WinUsb_QueryPipe) QueryPipe = nullptr;
  decltype(&WinUsb_SetPipePolicy) SetPipePolicy = nullptr;
  decltype(&WinUsb_ReadPipe) ReadPipe = nullptr;
  decltype(&WinUsb_WritePipe) WritePipe = nullptr;
  decltype(&WinUsb_GetOverlappedResult) GetOverlappedResult = nullptr;
  decltype(&WinUsb_AbortPipe) AbortPipe = nullptr;
  decltype(&WinUsb_ResetPipe) ResetPipe = nullptr;

  bool Complete() const {
    return Initialize && Free && QueryInterfaceSettings && QueryPipe && SetPipePolicy && ReadPipe && WritePipe &&
           GetOverlappedResult && AbortPipe && ResetPipe;
  }
};

template <typename Fn>
void Bind(HMODULE module, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The API, or null when winusb.dll or one of its functions is missing. The
// DLL stays loaded for the life of the process.
const WinUsbApi* Api() {
  static const WinUsbApi* const api = []() -> const WinUsbApi* {
    HMODULE module = LoadLibraryW(L"winusb.dll");
    if (module == nullptr) return nullptr;
    static WinUsbApi loaded;
    Bind(module, loaded.Initialize, "WinUsb_Initialize");
    Bind(module, loaded.Free, "WinUsb_Free");
    Bind(module, loaded.QueryInterfaceSettings, "WinUsb_QueryInterfaceSettings");
    Bind(module, loaded.QueryPipe, "WinUsb_QueryPipe");
    Bind(module, loaded.SetPipePolicy, "WinUsb_SetPipePolicy");
    Bind(module, loaded.ReadPipe, "WinUsb_ReadPipe");
    Bind(module, loaded.WritePipe, "WinUsb_WritePipe");
    Bind(module, loaded.GetOverlappedResult, "WinUsb_GetOverlappedResult");
    Bind(module, loaded.AbortPipe, "WinUsb_AbortPipe");
    Bind(module, loaded.ResetPipe, "WinUsb_ResetPipe");
    return loaded.Complete() ? &loaded : nullptr;
  }();
  return api;
}

class WinUsbIo final : public PipeIo {
 public:
  WinUsbIo(const WinUsbApi& api, HANDLE file, WINUSB_INTERFACE_HANDLE usb, UCHAR in, UCHAR out)
      : api_(api), file_(file), usb_(usb), in_(in), out_(out) {}
  ~WinUsbIo() override { Release(); }

  bool StartRead(std::uint8_t* buffer, DWORD length, OVERLAPPED& operation) override {
    read_ = &operation;
    return api_.ReadPipe(usb_, in_, buffer, length, nullptr, &operation) != FALSE;
  }
  bool StartWrite(const std::uint8_t* bytes, DWORD length, OVERLAPPED& operation) override {
    return api_.WritePipe(usb_, out_, const_cast<PUCHAR>(bytes), length, nullptr, &operation) != FALSE;
  }
  bool Result(OVERLAPPED& operation, DWORD& moved) override {
    return api_.GetOverlappedResult(usb_, &operation, &moved, FALSE) != FALSE;
  }
  // WinUSB cancels by pipe: aborting a pipe ends every transfer on it.
  void Cancel(OVERLAPPED& operation) override { api_.AbortPipe(usb_, &operation == read_ ? in_ : out_); }
  // Clears the pipe's halt (stall) on the device and in WinUSB.
  void Recover(bool inbound) override { api_.ResetPipe(usb_, inbound ? in_ : out_); }
  void Release() override {
    if (usb_ == nullptr) return;
    api_.AbortPipe(usb_, in_);
    api_.AbortPipe(usb_, out_);
    api_.Free(usb_);
    usb_ = nullptr;
    CloseHandle(file_);
  }

 private:
  const WinUsbApi& api_;
  HANDLE file_;
  WINUSB_INTERFACE_HANDLE usb_;
  UCHAR in_;
  UCHAR out_;
  const OVERLAPPED* read_ = nullptr;
};

// Finds the bulk IN and OUT pipes of the interface's first setting.
bool FindBulkPipes(const WinUsbApi& api, WINUSB_INTERFACE_HANDLE usb, UCHAR& in, UCHAR& out) {
  USB_INTERFACE_DESCRIPTOR setting{};
  if (!api.QueryInterfaceSettings(usb, 0, &setting)) return false;
  in = out = 0;
  for (UCHAR i = 0; i < setting.bNumEndpoints; ++i) {
    WINUSB_PIPE_INFORMATION pipe{};
    if (!api.QueryPipe(usb, 0, i, &pipe) || pipe.PipeType != UsbdPipeTypeBulk) continue;
    UCHAR& id = USB_ENDPOINT_DIRECTION_IN(pipe.PipeId) ? in : out;
    if (id == 0) id = pipe.PipeId;
  }
  if (in != 0 && out != 0) return true;
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool SetTimeout(const WinUsbApi& api, WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, ULONG milliseconds) {
  return api.SetPipePolicy(usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof milliseconds, &milliseconds) != FALSE;
}

}  // namespace

std::unique_ptr<PipeIo> WinUsbPipes(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return nullptr;
  const WinUsbApi* api = Api();
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  UCHAR in = 0, out = 0;
  if (api == nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
  } else if (api->Initialize(file, &usb)) {
    if (FindBulkPipes(*api, usb, in, out) && SetTimeout(*api, usb, in, 0) &&
        SetTimeout(*api, usb, out, kWriteTimeoutMs))
      return std::make_unique<WinUsbIo>(*api, file, usb, in, out);
    const DWORD error = GetLastError();
    api->Free(usb);
    SetLastError(error);
  }
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return nullptr;
}

}  // namespace portline
