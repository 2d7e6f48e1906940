// The catalog definition (the .cdf text that Windows' catalog functions read,
// as MakeCat does) for a driver package's catalog.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace portline_setup {

struct CatalogDefinition {
  std::string catalogName;           // "PortlineWinUsb.cat"
  std::string resultDirectory;       // where the catalog is written
  std::vector<std::string> members;  // full paths of the files it vouches for
  std::string osAttribute;           // "2:6.1,2:6.2,..." or empty
};

// The .cdf text, or nothing when a name or path cannot be written into it
// (an '=' or a line break would change what the catalog vouches for).
std::optional<std::string> CatalogDefinitionText(const CatalogDefinition& definition);

// The OSAttr value for Windows 7 and every later version.
const char* WindowsSevenAndLaterOsAttribute();

}  // namespace portline_setup
