// The binding to the device access library PortlineUSB.dll. The library is
// loaded by file name at the first call of any of its functions, and each
// function is looked up by its exported name at its own first call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "seamlog/link/device_library.h"
#include "win32util/handles.h"

namespace seamlog::link {

// Shows the run-time error message and ends the program. Tests put their own
// handler in its place; when a handler returns, the failed call reports failure.
using FatalErrorHandler = void (*)(const std::string& message, int errorNumber);
void EndWithRunTimeError(const std::string& message, int errorNumber);

class PortlineLibrary final : public DeviceLibrary {
 public:
  explicit PortlineLibrary(std::string fileName = "PortlineUSB.dll",
                           FatalErrorHandler onFatal = &EndWithRunTimeError);
  PortlineLibrary(const PortlineLibrary&) = delete;
  PortlineLibrary& operator=(const PortlineLibrary&) = delete;

  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t& extra1, std::int32_t& extra2) override;
  std::int32_t ReadFile(std::int32_t& handle, std::uint8_t* buffer) override;
  std::int32_t WriteFile(std::int32_t& handle, std::uint8_t* bytes, std::int32_t& count) override;
  std::int32_t CloseDevice(std::int32_t& handle) override;

  bool Loaded() const { return static_cast<bool>(module_); }

 private:
  // The function's address, looking it up (and loading the library) on first
  // use; null after the fatal handler has run.
  FARPROC Resolve(FARPROC& cache, const char* name);

  std::string fileName_;
  FatalErrorHandler onFatal_;
  win32util::Module module_;
  FARPROC create_ = nullptr;
  FARPROC read_ = nullptr;
  FARPROC write_ = nullptr;
  FARPROC close_ = nullptr;
};

}  // namespace seamlog::link
