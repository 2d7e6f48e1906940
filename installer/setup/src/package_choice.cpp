#include "portline_setup/package_choice.h"

namespace portline_setup {
namespace {

bool AtLeast(WindowsVersion v, unsigned major, unsigned minor) {
  return v.major > major || (v.major == major && v.minor >= minor);
}

Choice Refuse(std::string reason) { return {false, Package::WinUsb, std::move(reason)}; }
Choice Take(Package package, std::string reason) { return {true, package, std::move(reason)}; }

}  // namespace

const char* PackageName(Package package) {
  return package == Package::WinUsb ? "the WinUSB package (PortlineWinUsb.inf)"
                                    : "the Portline driver (Portline.inf, Portline.sys)";
}

Choice ChoosePackage(const System& system, Request request) {
  if (system.wow64)
    return Refuse("this is the 32-bit setup helper and Windows is 64-bit; Windows installs drivers "
                  "only from a 64-bit program there: use the 64-bit installer (setup-x64)");
  if (!AtLeast(system.version, 5, 1))
    return Refuse("Windows XP or later is needed");
  const bool winUsbAvailable = AtLeast(system.version, 6, 1);
  const bool is32Bit = system.arch == Arch::X86;

  if (!winUsbAvailable) {
    if (!is32Bit)
      return Refuse("64-bit Windows before Windows 7 is not supported: it has no WinUSB package for "
                    "this device and loads no unsigned 64-bit driver");
    if (request == Request::WinUsb)
      return Refuse("the WinUSB package needs Windows 7 or later; Portline.sys serves this Windows");
    return Take(Package::PortlineSys, "Windows before Windows 7 uses Portline.sys");
  }
  if (request == Request::PortlineSys) {
    if (!is32Bit)
      return Refuse("Portline.sys is offered only on 32-bit Windows: 64-bit Windows loads it only in "
                    "test mode; the WinUSB package needs no test mode");
    return Take(Package::PortlineSys, "Portline.sys was asked for on 32-bit Windows");
  }
  return Take(Package::WinUsb, "Windows 7 and later use Microsoft's WinUsb.sys");
}

}  // namespace portline_setup
