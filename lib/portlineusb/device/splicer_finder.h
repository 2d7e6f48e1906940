// Finding the splicers: every present device of interface class
// GUID_DEVINTERFACE_PORTLINE, with the driver that serves it (its service):
// the Portline driver, or Microsoft's WinUSB bound by PortlineWinUsb.inf,
// which registers the same interface class.
#pragma once

#include <string>
#include <vector>

namespace portline {

enum class Backend { kPortline, kWinUsb };

struct FoundSplicer {
  std::wstring path;  // device interface path, for CreateFile
  Backend backend;
};

// The splicers present. When the environment variable PORTLINEUSB_DEVICES is
// set, its list stands in for the SetupAPI search: the seam through which
// tests reach a backend that no device on the test machine is bound to.
std::vector<FoundSplicer> FindSplicers();

// A PORTLINEUSB_DEVICES list: entries "service=path" separated by '|' (a
// character no path contains), e.g. WinUSB=Z:\tmp\splicer|Portline=\\.\pipe\x
// Entries without '=' or with an empty path are skipped.
std::vector<FoundSplicer> ParseDeviceList(const std::wstring& list);

// The backend for a device's service name (SPDRP_SERVICE): WinUSB for
// "WinUSB" in any case, the Portline driver otherwise.
Backend BackendForService(const std::wstring& service);

}  // namespace portline
