#include "portline_setup/install_plan.h"

namespace portline_setup {
namespace {

Step Make(SetupActions& actions, std::string what, Action run) {
  return {std::move(what), [&actions, run] { return actions.Do(run); }, nullptr};
}

Step Make(SetupActions& actions, std::string what, Action run, Action undo) {
  return {std::move(what), [&actions, run] { return actions.Do(run); },
          [&actions, undo] { return actions.Do(undo); }};
}

}  // namespace

std::vector<Step> InstallSteps(const InstallPlan& plan, SetupActions& actions) {
  std::vector<Step> steps;
  steps.push_back(Make(actions, "Keep the helper and the package in a folder only administrators can change",
                       Action::KeepProtectedCopies, Action::DropProtectedCopies));
  steps.push_back(Make(actions, "Copy the package into a new private work folder (administrators only)",
                       Action::MakeWorkFolder, Action::RemoveWorkFolder));
  steps.push_back(Make(actions, "Check every file of the package against the digests of this build",
                       Action::CheckPackageDigests));
  if (plan.signOnThisPc) {
    steps.push_back(Make(actions, "Make a code-signing certificate with a key that exists in memory only",
                         Action::MakeSigningKey, Action::DestroySigningKey));
    steps.push_back(Make(actions, "Make the catalog for the package's files", Action::MakeCatalog));
    steps.push_back(Make(actions, "Sign the catalog with that certificate", Action::SignCatalog));
    steps.push_back(Make(actions, "Destroy the private key, so that nothing else can ever be signed with it",
                         Action::DestroySigningKey));
    steps.push_back(Make(actions,
                         "Trust the certificate on this PC (local machine stores Root and TrustedPublisher)",
                         Action::TrustCertificate, Action::DistrustCertificate));
  }
  steps.push_back(Make(actions, "Record the installation as pending (HKLM\\SOFTWARE\\Portline\\Setup)",
                       Action::RecordPending, Action::RestoreRecord));
  steps.push_back(
      Make(actions, "Put " + plan.packageName + " into Windows' driver store and onto a plugged-in splicer",
           Action::InstallPackage, Action::RemoveNewPackage));
  steps.push_back(Make(actions, "Record the installation as done", Action::RecordInstalled));
  if (plan.earlierInstall)
    steps.push_back(Make(actions,
                         "Remove the driver package installed earlier and its certificate, now replaced",
                         Action::RemoveEarlierPackage));
  steps.push_back(Make(actions, "Remove the work folder", Action::RemoveWorkFolder));
  return steps;
}

std::vector<Step> UninstallSteps(SetupActions& actions) {
  return {Make(actions, "Remove our driver packages from Windows' driver store (each checked to be ours)",
               Action::RemoveRecordedPackages),
          Make(actions,
               "Remove the helper's certificates from the local machine stores Root and TrustedPublisher",
               Action::RemoveCertificates),
          Make(actions, "Remove the installation record", Action::DeleteRecord),
          Make(actions, "Remove the helper's folder (administrators only)", Action::RemoveHelperFolder)};
}

}  // namespace portline_setup
