// Putting a driver package into Windows' driver store (and onto a splicer
// that is plugged in), taking out only packages that are ours, and the
// record of what the helper installed (HKLM\SOFTWARE\Portline\Setup).
#pragma once

#include <string>
#include <vector>

namespace portline_setup {

// The INF names our packages have before Windows renames them to oemNN.inf,
// and the provider they name.
inline constexpr const wchar_t* kOurInfNames[] = {L"PortlineWinUsb.inf", L"Portline.inf"};
inline constexpr wchar_t kOurProvider[] = L"Portline";

struct InstalledPackage {
  std::wstring publishedInf;         // "oem12.inf": the name Windows gave the INF; empty while pending
  std::wstring package;              // "winusb" or "portline"
  std::wstring state;                // "pending" before the driver store is touched, then "installed"
  std::wstring earlierPublishedInf;  // a replaced package not yet removed, or empty
  std::wstring signer;               // "this PC" (a helper's certificate) or "distributor"
};

// How a package of ours may be signed: by a certificate a helper made on
// this PC, or (a distributor's catalog) by anyone Windows trusts.
enum class OurSigner { ThisPc, Anyone };

// Copies the INF (with its catalog and files) into the driver store and
// updates a plugged-in device with `hardwareId`. `rebootNeeded` is set when
// Windows asks for a restart.
std::string InstallDriverPackage(const std::wstring& infPath, const std::wstring& hardwareId,
                                 std::wstring* publishedInf, bool* rebootNeeded);

// Empty when the published INF (in %windir%\INF) is one of ours: its
// original name is one of kOurInfNames, its provider kOurProvider, and its
// installed catalog (CatRoot, when Windows keeps one) signed as `signer`
// allows. Otherwise why it is not; "absent" when there is no such INF.
std::string WhyNotOurs(const std::wstring& publishedInf, OurSigner signer = OurSigner::ThisPc);
// Where Windows keeps the catalog of a published INF (oem12.inf: oem12.cat).
std::wstring InstalledCatalogOf(const std::wstring& publishedInf);
// Removes a published INF of ours from the driver store, never by force: a
// package that is not ours is left alone (and named in the result), one a
// device still uses is refused by Windows and reported.
std::string RemoveOurPackage(const std::wstring& publishedInf, OurSigner signer = OurSigner::ThisPc);
// Every published INF in the driver store that is ours (WhyNotOurs empty).
std::vector<std::wstring> OurPublishedInfs(OurSigner signer = OurSigner::ThisPc);
// SetupUninstallOEMInf without any check, for packages this run put in.
std::string RemoveFromDriverStore(const std::wstring& publishedInf);

std::string WriteRecord(const InstalledPackage& record);
bool ReadRecord(InstalledPackage* record);
std::string DeleteRecord();

}  // namespace portline_setup
