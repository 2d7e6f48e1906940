// The platform's device library as the poll cycle calls it, counting what it
// read and keeping what the last create said, for the operator.
#pragma once

#include <cstdint>

#include "seamlog/link/device_library.h"

namespace seamlog::tools {

class CountingLibrary final : public link::DeviceLibrary {
 public:
  explicit CountingLibrary(link::DeviceLibrary& library) : library_(library) {}

  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t& status, std::int32_t& found) override {
    lastCreate = library_.CreateDevice(handle, status, found);
    lastStatus = status;
    return lastCreate;
  }
  std::int32_t ReadFile(std::int32_t& handle, std::uint8_t* buffer) override {
    const std::int32_t n = library_.ReadFile(handle, buffer);
    if (n > 0 && n <= link::kMaxTransfer) bytesRead += static_cast<std::uint64_t>(n);
    return n;
  }
  std::int32_t WriteFile(std::int32_t& handle, std::uint8_t* bytes, std::int32_t& count) override {
    return library_.WriteFile(handle, bytes, count);
  }
  std::int32_t CloseDevice(std::int32_t& handle) override { return library_.CloseDevice(handle); }

  std::int32_t lastCreate = -1;  // none yet
  std::int32_t lastStatus = 0;
  std::uint64_t bytesRead = 0;

 private:
  link::DeviceLibrary& library_;
};

}  // namespace seamlog::tools
