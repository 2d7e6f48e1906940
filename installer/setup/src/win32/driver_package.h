// Putting a driver package into Windows' driver store (and onto a splicer
// that is plugged in), taking it out again, and the record of what the
// helper installed (HKLM\SOFTWARE\Portline\Setup).
#pragma once

#include <string>

namespace portline_setup {

struct InstalledPackage {
  std::wstring publishedInf;  // "oem12.inf": the name Windows gave the INF
  std::wstring package;       // "winusb" or "portline"
};

// Copies the INF (with its catalog and files) into the driver store and
// updates a plugged-in device with `hardwareId`. `rebootNeeded` is set when
// Windows asks for a restart.
std::string InstallDriverPackage(const std::wstring& infPath, const std::wstring& hardwareId,
                                 std::wstring* publishedInf, bool* rebootNeeded);
// Removes a published INF from the driver store, even when a device uses it.
std::string RemoveDriverPackage(const std::wstring& publishedInf);

std::string WriteRecord(const InstalledPackage& record);
bool ReadRecord(InstalledPackage* record);
std::string DeleteRecord();

}  // namespace portline_setup
