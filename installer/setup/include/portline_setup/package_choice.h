// Which driver package the setup helper installs on the running Windows.
#pragma once

#include <string>

namespace portline_setup {

enum class Arch { X86, X64, Arm64 };
enum class Package { WinUsb, PortlineSys };
// What the user asked for on the command line.
enum class Request { Default, WinUsb, PortlineSys };

struct WindowsVersion {
  unsigned major = 0;
  unsigned minor = 0;
};

struct System {
  WindowsVersion version;
  Arch arch = Arch::X86;  // of Windows itself, not of this program
  bool wow64 = false;     // this program is 32-bit on 64-bit Windows
};

struct Choice {
  bool ok = false;
  Package package = Package::WinUsb;
  std::string reason;  // why this package, or why none
};

// Windows 7 and later get the WinUSB package; Windows XP and Vista (32-bit)
// get Portline.sys, which 32-bit Windows 7 and later may also ask for.
Choice ChoosePackage(const System& system, Request request);

const char* PackageName(Package package);

}  // namespace portline_setup
