#include "winusb_pipes.h"

#include <winusb.h>

#include <utility>

#include "win32util/handles.h"
#include "win32util/system_library.h"

namespace portline {
namespace {

// The functions of winusb.dll this library uses, looked up once.
struct WinUsbApi {
  decltype(&WinUsb_Initialize) initialize = nullptr;
  decltype(&WinUsb_Free) free = nullptr;
  decltype(&WinUsb_QueryInterfaceSettings) queryInterfaceSettings = nullptr;
  decltype(&WinUsb_QueryPipe) queryPipe = nullptr;
  decltype(&WinUsb_SetPipePolicy) setPipePolicy = nullptr;
  decltype(&WinUsb_ReadPipe) readPipe = nullptr;
  decltype(&WinUsb_WritePipe) writePipe = nullptr;
  decltype(&WinUsb_GetOverlappedResult) getOverlappedResult = nullptr;
  decltype(&WinUsb_AbortPipe) abortPipe = nullptr;
  decltype(&WinUsb_ResetPipe) resetPipe = nullptr;

  bool Complete() const {
    return initialize && free && queryInterfaceSettings && queryPipe && setPipePolicy && readPipe && writePipe &&
           getOverlappedResult && abortPipe && resetPipe;
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
    HMODULE module = win32util::LoadSystemLibrary(L"winusb.dll");
    if (module == nullptr) return nullptr;
    static WinUsbApi loaded;
    Bind(module, loaded.initialize, "WinUsb_Initialize");
    Bind(module, loaded.free, "WinUsb_Free");
    Bind(module, loaded.queryInterfaceSettings, "WinUsb_QueryInterfaceSettings");
    Bind(module, loaded.queryPipe, "WinUsb_QueryPipe");
    Bind(module, loaded.setPipePolicy, "WinUsb_SetPipePolicy");
    Bind(module, loaded.readPipe, "WinUsb_ReadPipe");
    Bind(module, loaded.writePipe, "WinUsb_WritePipe");
    Bind(module, loaded.getOverlappedResult, "WinUsb_GetOverlappedResult");
    Bind(module, loaded.abortPipe, "WinUsb_AbortPipe");
    Bind(module, loaded.resetPipe, "WinUsb_ResetPipe");
    return loaded.Complete() ? &loaded : nullptr;
  }();
  return api;
}

// WinUSB's handle of an initialised interface; there is one only where the
// API was found.
struct FreeWinUsbInterface {
  void operator()(WINUSB_INTERFACE_HANDLE usb) const { Api()->free(usb); }
};
using WinUsbInterface = win32util::Owned<WINUSB_INTERFACE_HANDLE, FreeWinUsbInterface>;

class WinUsbIo final : public PipeIo {
 public:
  WinUsbIo(const WinUsbApi& api, win32util::KernelHandle file, WinUsbInterface usb, UCHAR in, UCHAR out)
      : api_(api), file_(std::move(file)), usb_(std::move(usb)), in_(in), out_(out) {}
  ~WinUsbIo() override { Release(); }

  bool StartRead(std::uint8_t* buffer, DWORD length, OVERLAPPED& operation) override {
    return api_.readPipe(usb_.get(), in_, buffer, length, nullptr, &operation) != FALSE;
  }
  bool StartWrite(const std::uint8_t* bytes, DWORD length, OVERLAPPED& operation) override {
    write_ = &operation;
    return api_.writePipe(usb_.get(), out_, const_cast<PUCHAR>(bytes), length, nullptr, &operation) != FALSE;
  }
  bool Result(OVERLAPPED& operation, DWORD& moved) override {
    return api_.getOverlappedResult(usb_.get(), &operation, &moved, FALSE) != FALSE;
  }
  // WinUSB cancels by pipe: aborting the IN pipe ends every queued read.
  // Only the one write is ever issued on the OUT pipe.
  void Cancel(OVERLAPPED& operation) override { api_.abortPipe(usb_.get(), &operation == write_ ? out_ : in_); }
  // Clears the pipe's halt (stall) on the device and in WinUSB.
  void Recover(bool inbound) override { api_.resetPipe(usb_.get(), inbound ? in_ : out_); }
  // Ends both pipes' transfers, then frees the interface and closes the file.
  void Release() override {
    if (!usb_) return;
    api_.abortPipe(usb_.get(), in_);
    api_.abortPipe(usb_.get(), out_);
    usb_.Reset();
    file_.Reset();
  }

 private:
  const WinUsbApi& api_;
  win32util::KernelHandle file_;
  WinUsbInterface usb_;
  UCHAR in_;
  UCHAR out_;
  const OVERLAPPED* write_ = nullptr;
};

// Finds the bulk IN and OUT pipes of the interface's first setting.
bool FindBulkPipes(const WinUsbApi& api, WINUSB_INTERFACE_HANDLE usb, UCHAR& in, UCHAR& out) {
  USB_INTERFACE_DESCRIPTOR setting{};
  if (!api.queryInterfaceSettings(usb, 0, &setting)) return false;
  in = out = 0;
  for (UCHAR i = 0; i < setting.bNumEndpoints; ++i) {
    WINUSB_PIPE_INFORMATION pipe{};
    if (!api.queryPipe(usb, 0, i, &pipe) || pipe.PipeType != UsbdPipeTypeBulk) continue;
    UCHAR& id = USB_ENDPOINT_DIRECTION_IN(pipe.PipeId) ? in : out;
    if (id == 0) id = pipe.PipeId;
  }
  if (in != 0 && out != 0) return true;
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool SetTimeout(const WinUsbApi& api, WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, ULONG milliseconds) {
  return api.setPipePolicy(usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof milliseconds, &milliseconds) != FALSE;
}

}  // namespace

std::unique_ptr<PipeIo> WinUsbPipes(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return nullptr;
  win32util::KernelHandle device(file);
  WinUsbInterface usb;
  // Frees the interface and closes the file, keeping the failure's error
  // code for the caller.
  const auto fail = [&](DWORD error) -> std::unique_ptr<PipeIo> {
    usb.Reset();
    device.Reset();
    SetLastError(error);
    return nullptr;
  };
  const WinUsbApi* api = Api();
  if (api == nullptr) return fail(ERROR_NOT_SUPPORTED);
  WINUSB_INTERFACE_HANDLE initialised = nullptr;
  if (!api->initialize(device.get(), &initialised)) return fail(GetLastError());
  usb.Reset(initialised);
  UCHAR in = 0, out = 0;
  if (!FindBulkPipes(*api, usb.get(), in, out) || !SetTimeout(*api, usb.get(), in, 0) ||
      !SetTimeout(*api, usb.get(), out, kWriteTimeoutMs))
    return fail(GetLastError());
  return std::make_unique<WinUsbIo>(*api, std::move(device), std::move(usb), in, out);
}

}  // namespace portline
