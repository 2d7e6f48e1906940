// The catalog of the WinUSB package: made from a catalog definition with
// Windows' catalog functions (wintrust.dll, as MakeCat does) and signed with
// SignerSign (mssign32.dll). Both libraries are loaded at run time.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace portline_setup {

// Reads the .cdf at `definitionPath` and writes the catalog it names.
std::string MakeCatalog(const std::wstring& definitionPath);

// Signs the catalog with `certificate`, whose private key must still exist.
std::string SignCatalog(const std::wstring& catalogPath, PCCERT_CONTEXT certificate);

}  // namespace portline_setup
