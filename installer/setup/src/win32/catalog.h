// The catalog of the WinUSB package: made from a catalog definition with
// Windows' catalog functions (wintrust.dll, as MakeCat does) and signed with
// SignerSign (mssign32.dll). Both libraries are loaded at run time.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <string>

#include "portline_setup/signing_profile.h"

namespace portline_setup {

// Reads the .cdf at `definitionPath` and writes the catalog it names.
std::string MakeCatalog(const std::wstring& definitionPath);

// Signs the catalog with `certificate`, whose private key must still exist,
// hashing with `digest`.
std::string SignCatalog(const std::wstring& catalogPath, PCCERT_CONTEXT certificate, SignatureDigest digest);

}  // namespace portline_setup
