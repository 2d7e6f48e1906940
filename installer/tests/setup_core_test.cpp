// The setup helper's decisions: which package for which Windows, steps that
// are undone last first when one fails, the catalog definition it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <sstream>

#include "portline_setup/catalog_definition.h"
#include "portline_setup/install_plan.h"
#include "portline_setup/package_choice.h"
#include "portline_setup/signing_profile.h"
#include "portline_setup/steps.h"

namespace portline_setup {
namespace {

struct ChoiceCase {
  const char* name;
  System system;
  Request request;
  bool ok;
  Package package;
};

constexpr WindowsVersion kXp{5, 1}, kVista{6, 0}, kSeven{6, 1}, kTen{10, 0}, kTwoThousand{5, 0};

const ChoiceCase kChoices[] = {
    {"Windows XP 32-bit gets Portline.sys",
     {kXp, Arch::X86, false},
     Request::Default,
     true,
     Package::PortlineSys},
    {"Windows XP asking for WinUSB is refused",
     {kXp, Arch::X86, false},
     Request::WinUsb,
     false,
     Package::WinUsb},
    {"Vista 32-bit gets Portline.sys",
     {kVista, Arch::X86, false},
     Request::Default,
     true,
     Package::PortlineSys},
    {"Vista x64 is refused", {kVista, Arch::X64, false}, Request::Default, false, Package::WinUsb},
    {"Windows 2000 is refused", {kTwoThousand, Arch::X86, false}, Request::Default, false, Package::WinUsb},
    {"Windows 7 32-bit gets WinUSB", {kSeven, Arch::X86, false}, Request::Default, true, Package::WinUsb},
    {"Windows 7 32-bit may ask for Portline.sys",
     {kSeven, Arch::X86, false},
     Request::PortlineSys,
     true,
     Package::PortlineSys},
    {"Windows 10 x64 gets WinUSB", {kTen, Arch::X64, false}, Request::Default, true, Package::WinUsb},
    {"Windows 10 x64 asking for Portline.sys is refused",
     {kTen, Arch::X64, false},
     Request::PortlineSys,
     false,
     Package::WinUsb},
    {"Windows 11 ARM64 gets WinUSB", {kTen, Arch::Arm64, false}, Request::Default, true, Package::WinUsb},
    {"the 32-bit helper on 64-bit Windows is refused",
     {kTen, Arch::X64, true},
     Request::Default,
     false,
     Package::WinUsb},
};

TEST(PackageChoice, EachWindowsGetsItsPackageOrAReason) {
  for (const ChoiceCase& c : kChoices) {
    SCOPED_TRACE(c.name);
    const Choice choice = ChoosePackage(c.system, c.request);
    EXPECT_EQ(choice.ok, c.ok);
    EXPECT_FALSE(choice.reason.empty());
    if (c.ok) {
      EXPECT_EQ(choice.package, c.package);
    }
  }
}

// Steps that log what they do, with one chosen to fail.
std::vector<Step> LoggingSteps(std::vector<std::string>& log, int failing, bool secondHasUndo = true) {
  std::vector<Step> steps;
  for (int i = 1; i <= 4; ++i) {
    const std::string n = std::to_string(i);
    std::function<StepResult()> undo = [&log, n] {
      log.push_back("undo " + n);
      return StepResult();
    };
    if (i == 2 && !secondHasUndo) undo = nullptr;
    steps.push_back({"step " + n,
                     [&log, n, i, failing] {
                       log.push_back("run " + n);
                       return i == failing ? StepResult("broken") : StepResult();
                     },
                     undo});
  }
  return steps;
}

TEST(Steps, AllSucceedingRunInOrderAndUndoNothing) {
  std::vector<std::string> log;
  std::ostringstream out;
  EXPECT_TRUE(RunSteps(LoggingSteps(log, 0), false, out));
  EXPECT_EQ(log, (std::vector<std::string>{"run 1", "run 2", "run 3", "run 4"}));
}

TEST(Steps, AFailingStepUndoesTheEarlierOnesLastFirstAndNotItself) {
  std::vector<std::string> log;
  std::ostringstream out;
  EXPECT_FALSE(RunSteps(LoggingSteps(log, 3), false, out));
  EXPECT_EQ(log, (std::vector<std::string>{"run 1", "run 2", "run 3", "undo 2", "undo 1"}));
  EXPECT_NE(out.str().find("FAILED: step 3: broken"), std::string::npos) << out.str();
}

TEST(Steps, AStepWithoutUndoIsSkippedWhenUndoing) {
  std::vector<std::string> log;
  std::ostringstream out;
  EXPECT_FALSE(RunSteps(LoggingSteps(log, 4, false), false, out));
  EXPECT_EQ(log, (std::vector<std::string>{"run 1", "run 2", "run 3", "run 4", "undo 3", "undo 1"}));
}

TEST(Steps, AFailedUndoIsReportedAndTheRestStillUndone) {
  std::vector<std::string> log;
  std::ostringstream out;
  auto steps = LoggingSteps(log, 3);
  steps[1].undo = [&log] {
    log.push_back("undo 2 fails");
    return StepResult("store locked");
  };
  EXPECT_FALSE(RunSteps(steps, false, out));
  EXPECT_EQ(log, (std::vector<std::string>{"run 1", "run 2", "run 3", "undo 2 fails", "undo 1"}));
  EXPECT_NE(out.str().find("COULD NOT UNDO: step 2: store locked"), std::string::npos) << out.str();
}

TEST(Steps, ADryRunNamesEveryStepAndRunsNone) {
  std::vector<std::string> log;
  std::ostringstream out;
  EXPECT_TRUE(RunSteps(LoggingSteps(log, 1), true, out));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(out.str(), "would [1/4] step 1\nwould [2/4] step 2\nwould [3/4] step 3\nwould [4/4] step 4\n");
}

TEST(CatalogDefinition, NamesTheCatalogItsFolderAndEachMemberByHash) {
  const auto text = CatalogDefinitionText(
      {"PortlineWinUsb.cat", "C:\\Windows\\Temp\\w", {"C:\\Windows\\Temp\\w\\PortlineWinUsb.inf"}, "2:6.1"});
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            "[CatalogHeader]\r\nName=PortlineWinUsb.cat\r\nResultDir=C:\\Windows\\Temp\\w\r\n"
            "PublicVersion=0x00000001\r\nEncodingType=0x00010001\r\nCATATTR1=0x10010001:OSAttr:2:6.1\r\n"
            "\r\n[CatalogFiles]\r\n<HASH>PortlineWinUsb.inf=C:\\Windows\\Temp\\w\\PortlineWinUsb.inf\r\n");
}

TEST(CatalogDefinition, RefusesWhatWouldChangeItsMeaning) {
  const CatalogDefinition good{"a.cat", "C:\\w", {"C:\\w\\a.inf"}, ""};
  EXPECT_TRUE(CatalogDefinitionText(good));
  struct Bad {
    const char* name;
    CatalogDefinition definition;
  } const bad[] = {
      {"an = in the folder", {"a.cat", "C:\\w=x", {"C:\\w\\a.inf"}, ""}},
      {"a line break in a member", {"a.cat", "C:\\w", {"C:\\w\\a.inf\r\nb=C:\\evil"}, ""}},
      {"no member", {"a.cat", "C:\\w", {}, ""}},
      {"an empty catalog name", {"", "C:\\w", {"C:\\w\\a.inf"}, ""}},
      {"a member path ending in a slash", {"a.cat", "C:\\w", {"C:\\w\\"}, ""}},
  };
  for (const Bad& b : bad) EXPECT_FALSE(CatalogDefinitionText(b.definition)) << b.name;
}

// Actions that are recorded in order; one chosen action fails.
class RecordedActions final : public SetupActions {
 public:
  explicit RecordedActions(Action failing = Action::DeleteRecord, bool failAtAll = false)
      : failing_(failing), failAtAll_(failAtAll) {}
  StepResult Do(Action action) override {
    done.push_back(action);
    return failAtAll_ && action == failing_ ? StepResult("broken") : StepResult();
  }
  std::vector<Action> done;

 private:
  Action failing_;
  bool failAtAll_;
};

using A = Action;

struct PlanCase {
  const char* name;
  InstallPlan plan;
  bool fails;
  Action failing;
  std::vector<Action> expected;
};

const PlanCase kPlans[] = {
    {"a first install signs, trusts, records pending, installs, records done",
     {"PortlineWinUsb.inf", true, false},
     false,
     A::DeleteRecord,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::CheckPackageDigests, A::MakeSigningKey, A::MakeCatalog,
      A::SignCatalog, A::DestroySigningKey, A::TrustCertificate, A::RecordPending, A::InstallPackage,
      A::RecordInstalled, A::RemoveWorkFolder}},
    {"a reinstall removes the earlier package only after the new one is in",
     {"PortlineWinUsb.inf", true, true},
     false,
     A::DeleteRecord,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::CheckPackageDigests, A::MakeSigningKey, A::MakeCatalog,
      A::SignCatalog, A::DestroySigningKey, A::TrustCertificate, A::RecordPending, A::InstallPackage,
      A::RecordInstalled, A::RemoveEarlierPackage, A::RemoveWorkFolder}},
    {"a reinstall whose driver store step fails keeps the earlier package and its record",
     {"PortlineWinUsb.inf", true, true},
     true,
     A::InstallPackage,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::CheckPackageDigests, A::MakeSigningKey, A::MakeCatalog,
      A::SignCatalog, A::DestroySigningKey, A::TrustCertificate, A::RecordPending, A::InstallPackage,
      A::RestoreRecord, A::DistrustCertificate, A::DestroySigningKey, A::RemoveWorkFolder,
      A::DropProtectedCopies}},
    {"a changed file stops the install before any key exists",
     {"PortlineWinUsb.inf", true, true},
     true,
     A::CheckPackageDigests,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::CheckPackageDigests, A::RemoveWorkFolder,
      A::DropProtectedCopies}},
    {"a work folder that cannot be made new stops the install",
     {"PortlineWinUsb.inf", true, false},
     true,
     A::MakeWorkFolder,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::DropProtectedCopies}},
    {"a failed signature destroys the key and trusts nothing",
     {"PortlineWinUsb.inf", true, false},
     true,
     A::SignCatalog,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::CheckPackageDigests, A::MakeSigningKey, A::MakeCatalog,
      A::SignCatalog, A::DestroySigningKey, A::RemoveWorkFolder, A::DropProtectedCopies}},
    {"a record that cannot be written as pending keeps the driver store untouched",
     {"PortlineWinUsb.inf", true, true},
     true,
     A::RecordPending,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::CheckPackageDigests, A::MakeSigningKey, A::MakeCatalog,
      A::SignCatalog, A::DestroySigningKey, A::TrustCertificate, A::RecordPending, A::DistrustCertificate,
      A::DestroySigningKey, A::RemoveWorkFolder, A::DropProtectedCopies}},
    {"a package with its distributor's catalog makes no key and trusts nothing",
     {"PortlineWinUsb.inf", false, true},
     false,
     A::DeleteRecord,
     {A::KeepProtectedCopies, A::MakeWorkFolder, A::CheckPackageDigests, A::RecordPending, A::InstallPackage,
      A::RecordInstalled, A::RemoveEarlierPackage, A::RemoveWorkFolder}},
};

TEST(InstallPlan, EachCaseRunsAndUndoesItsActionsInTheSafeOrder) {
  for (const PlanCase& c : kPlans) {
    SCOPED_TRACE(c.name);
    RecordedActions actions(c.failing, c.fails);
    std::ostringstream out;
    EXPECT_EQ(RunSteps(InstallSteps(c.plan, actions), false, out), !c.fails) << out.str();
    EXPECT_EQ(actions.done, c.expected) << out.str();
  }
}

std::size_t IndexOf(const std::vector<Action>& done, Action action) {
  return static_cast<std::size_t>(std::find(done.begin(), done.end(), action) - done.begin());
}

TEST(InstallPlan,
     TheKeyIsGoneBeforeTheCertificateIsTrustedAndTheRecordIsWrittenBeforeTheDriverStoreIsTouched) {
  RecordedActions actions;
  std::ostringstream out;
  ASSERT_TRUE(RunSteps(InstallSteps({"PortlineWinUsb.inf", true, true}, actions), false, out));
  const auto& d = actions.done;
  EXPECT_LT(IndexOf(d, A::CheckPackageDigests), IndexOf(d, A::MakeSigningKey));
  EXPECT_LT(IndexOf(d, A::SignCatalog), IndexOf(d, A::DestroySigningKey));
  EXPECT_LT(IndexOf(d, A::DestroySigningKey), IndexOf(d, A::TrustCertificate));
  EXPECT_LT(IndexOf(d, A::RecordPending), IndexOf(d, A::InstallPackage));
  EXPECT_LT(IndexOf(d, A::InstallPackage), IndexOf(d, A::RemoveEarlierPackage));
  EXPECT_LT(IndexOf(d, A::KeepProtectedCopies), IndexOf(d, A::MakeWorkFolder))
      << "copies come from the protected folder";
}

TEST(InstallPlan, UninstallRemovesPackagesBeforeCertificatesAndStopsWhereAPackageStays) {
  RecordedActions all;
  std::ostringstream out;
  ASSERT_TRUE(RunSteps(UninstallSteps(all), false, out));
  EXPECT_EQ(all.done, (std::vector<Action>{A::RemoveRecordedPackages, A::RemoveCertificates, A::DeleteRecord,
                                           A::RemoveHelperFolder}));
  RecordedActions stays(A::RemoveRecordedPackages, true);
  EXPECT_FALSE(RunSteps(UninstallSteps(stays), false, out));
  EXPECT_EQ(stays.done, (std::vector<Action>{A::RemoveRecordedPackages}))
      << "certificate and record stay with it";
}

TEST(SigningProfile, WindowsSevenAndEarlierGetSha1AndLaterWindowsSha256) {
  const struct {
    WindowsVersion version;
    SignatureDigest digest;
  } rows[] = {{{6, 0}, SignatureDigest::Sha1},
              {{6, 1}, SignatureDigest::Sha1},
              {{6, 2}, SignatureDigest::Sha256},
              {{6, 3}, SignatureDigest::Sha256},
              {{10, 0}, SignatureDigest::Sha256}};
  for (const auto& row : rows)
    EXPECT_EQ(DigestFor(row.version), row.digest) << row.version.major << "." << row.version.minor;
}

TEST(SigningProfile, TheSubjectNamesTheProductAndThePcAndIsRecognisedAsTheHelpers) {
  EXPECT_EQ(CertificateSubject(L"BENCH-PC"),
            L"CN=Seamlog splicer driver package for BENCH-PC, OU=This PC only, O=Portline setup");
  EXPECT_EQ(CertificateSubject(L"a,b=\"c\"+d"),
            L"CN=Seamlog splicer driver package for a_b__c__d, OU=This PC only, O=Portline setup")
      << "nothing an X.500 name would have to quote";
  EXPECT_EQ(CertificateSubject(L""),
            L"CN=Seamlog splicer driver package for this PC, OU=This PC only, O=Portline setup");
  EXPECT_TRUE(IsHelperSubject(CertificateSubject(L"BENCH-PC")));
  EXPECT_TRUE(IsHelperSubject(L"CN=Portline WinUSB driver package (this PC only)"))
      << "made by earlier versions";
  for (const wchar_t* other :
       {L"CN=Microsoft Root Authority", L"CN=Seamlog splicer driver package for X",
        L"CN=Seamlog splicer driver package for , OU=This PC only, O=Portline setup",
        L"CN=Seamlog splicer driver package for A, OU=Evil, OU=This PC only, O=Portline setup",
        L"CN=Evil, CN=Seamlog splicer driver package for A, OU=This PC only, O=Portline setup"})
    EXPECT_FALSE(IsHelperSubject(other)) << std::string(other, other + std::wcslen(other));
}

}  // namespace
}  // namespace portline_setup
