// The order of an installation and of an uninstallation, apart from how each
// action is done. The Windows build does the actions (main.cpp); tests record
// them and make any one fail, so the order that keeps the user safe is
// checked where no real driver store or access list exists.
#pragma once

#include <string>
#include <vector>

#include "portline_setup/steps.h"

namespace portline_setup {

enum class Action {
  KeepProtectedCopies,  // the helper and the package into the administrators-only folder
  DropProtectedCopies,  // undo: that folder again, when this run made it
  MakeWorkFolder,       // a fresh private folder, every package file copied in as a new file
  RemoveWorkFolder,
  CheckPackageDigests,  // every copy in the work folder against the digests fixed at build time
  MakeSigningKey,       // an ephemeral key in memory and its certificate
  DestroySigningKey,
  MakeCatalog,
  SignCatalog,
  TrustCertificate,  // local machine Root and TrustedPublisher
  DistrustCertificate,
  RecordPending,   // the package about to enter the driver store, before it does
  RestoreRecord,   // undo: the record as it was before this run
  InstallPackage,  // into the driver store and onto a plugged-in splicer
  RemoveNewPackage,
  RecordInstalled,
  RemoveEarlierPackage,    // the package and certificates of an earlier install, when ours
  RemoveRecordedPackages,  // uninstall: every package of ours the record or the driver store shows
  RemoveCertificates,      // uninstall: every certificate the helper made
  DeleteRecord,
  RemoveHelperFolder,  // uninstall: the administrators-only folder of the helper
};

// Does one action; an empty result is success, anything else the reason.
class SetupActions {
 public:
  virtual ~SetupActions() = default;
  virtual StepResult Do(Action action) = 0;
};

struct InstallPlan {
  std::string packageName;   // "PortlineWinUsb.inf"
  bool signOnThisPc = true;  // false: the distributor's catalog, or XP's unsigned package
  bool earlierInstall = false;
};

// Install: nothing is signed before every file was checked, the key is gone
// before anything is trusted, the record says "pending" before the driver
// store is touched, and an earlier package stays until the new one is in.
// RemoveEarlierPackage and the last RemoveWorkFolder report a failure as a
// warning and succeed: the new package is in by then and stays (the record
// keeps the earlier package for the uninstall).
std::vector<Step> InstallSteps(const InstallPlan& plan, SetupActions& actions);

// Uninstall: only what the checks show to be ours.
std::vector<Step> UninstallSteps(SetupActions& actions);

}  // namespace portline_setup
