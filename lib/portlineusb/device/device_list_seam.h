// The test build's stand-in for the SetupAPI search (PortlineUSB.dll built
// with PORTLINEUSB_TEST_SEAM, never shipped): the environment variable
// PORTLINEUSB_DEVICES lists the splicers, so tests reach a backend that no
// device on the test machine is bound to.
#pragma once

#include <string>
#include <vector>

#include "splicer_finder.h"

namespace portline {

// The splicers PORTLINEUSB_DEVICES lists, or false when it is not set.
bool SplicersFromEnvironment(std::vector<FoundSplicer>& found);

// A PORTLINEUSB_DEVICES list: entries "service=path" separated by '|' (a
// character no path contains), e.g. WinUSB=Z:\tmp\splicer|Portline=\\.\pipe\x
// Entries without '=' or with an empty path are skipped.
std::vector<FoundSplicer> ParseDeviceList(const std::wstring& list);

}  // namespace portline
