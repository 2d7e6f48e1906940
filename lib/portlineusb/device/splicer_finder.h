// Finding the splicers: every present device of interface class
// GUID_DEVINTERFACE_PORTLINE, with the driver that serves it (its service):
// the Portline driver, or Microsoft's WinUSB bound by PortlineWinUsb.inf,
// which registers the same interface class.
#pragma once

#include <string>
#include <vector>

namespace portline {

enum class Backend { Portline, WinUsb };

struct FoundSplicer {
  std::wstring path;  // device interface path, for CreateFile
  Backend backend;
};

// The splicers present, as SetupAPI lists them.
std::vector<FoundSplicer> FindSplicers();

// The backend for a device's service name (SPDRP_SERVICE): WinUSB for
// "WinUSB" in any case, the Portline driver otherwise.
Backend BackendForService(const std::wstring& service);

}  // namespace portline
