// The device library's four functions as the poll cycle calls them, and
// what the last create said, for the operator.
#pragma once

#include <cstdint>

#include "seamlog/link/device_library.h"

namespace seamlog::tools {

class ContractLibrary final : public link::DeviceLibrary {
 public:
  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t& status, std::int32_t& found) override {
    lastCreate = PortlineUsbCreateDevice(&handle, &status, &found);
    lastStatus = status;
    lastFound = found;
    return lastCreate;
  }
  std::int32_t ReadFile(std::int32_t& handle, std::uint8_t* buffer) override {
    const std::int32_t n = PortlineUsbReadFile(&handle, buffer);
    if (n > 0 && n <= link::kMaxTransfer) bytesRead += static_cast<std::uint64_t>(n);
    return n;
  }
  std::int32_t WriteFile(std::int32_t& handle, std::uint8_t* bytes, std::int32_t& count) override {
    return PortlineUsbWriteFile(&handle, bytes, &count);
  }
  std::int32_t CloseDevice(std::int32_t& handle) override { return PortlineUsbCloseDevice(&handle); }

  std::int32_t lastCreate = -1;  // none yet
  std::int32_t lastStatus = 0;
  std::int32_t lastFound = 0;
  std::uint64_t bytesRead = 0;
};

}  // namespace seamlog::tools
