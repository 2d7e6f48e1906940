// The setup helper's Windows side under Wine: the certificate and its key,
// the machine's trust stores, the driver store and the record, and the
// helper program itself. What Wine lacks (catalog functions, SignerSign,
// device binding) is checked by hand on Windows (sys/README.md).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "driver_package.h"
#include "trust.h"

namespace portline_setup {
namespace {

bool KeyContainerExists(const std::wstring& name) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, name.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, 0)) return false;
  CryptReleaseContext(provider, 0);
  return true;
}

bool HasKeyProperty(PCCERT_CONTEXT certificate) {
  DWORD size = 0;
  return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) != FALSE;
}

class TrustStores : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RemoveHelperCertificates(nullptr), ""); }
  void TearDown() override { RemoveHelperCertificates(nullptr); }
};

TEST_F(TrustStores, ACertificateIsMadeForCodeSigningAndItsKeyCanBeDestroyed) {
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(), "");
  PCCERT_CONTEXT certificate = identity.certificate();
  ASSERT_NE(certificate, nullptr);
  wchar_t subject[256] = {};
  CertNameToStrW(X509_ASN_ENCODING, &certificate->pCertInfo->Subject, CERT_X500_NAME_STR, subject, 256);
  EXPECT_STREQ(subject, kCertificateSubject);
  EXPECT_EQ(CertCompareCertificateName(X509_ASN_ENCODING, &certificate->pCertInfo->Subject,
                                       &certificate->pCertInfo->Issuer), TRUE) << "self-signed";
  CERT_EXTENSION* usage = CertFindExtension(szOID_ENHANCED_KEY_USAGE, certificate->pCertInfo->cExtension,
                                            certificate->pCertInfo->rgExtension);
  ASSERT_NE(usage, nullptr);
  std::string usageBytes(reinterpret_cast<char*>(usage->Value.pbData), usage->Value.cbData);
  EXPECT_NE(usageBytes.find("\x2b\x06\x01\x05\x05\x07\x03\x03"), std::string::npos) << "code signing usage";
  EXPECT_STREQ(certificate->pCertInfo->SignatureAlgorithm.pszObjId, szOID_RSA_SHA256RSA);

  const std::wstring container = identity.container();
  EXPECT_TRUE(KeyContainerExists(container));
  EXPECT_TRUE(HasKeyProperty(certificate));
  ASSERT_EQ(identity.DestroyKey(), "");
  EXPECT_FALSE(KeyContainerExists(container));
  EXPECT_FALSE(HasKeyProperty(certificate)) << "the certificate no longer points at a key";
  EXPECT_EQ(identity.DestroyKey(), "") << "destroying twice is harmless";
}

TEST_F(TrustStores, TrustAddsTheCertificateToRootAndTrustedPublisherAndDistrustTakesItOut) {
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(), "");
  ASSERT_EQ(TrustOnThisMachine(identity.Encoded()), "");
  EXPECT_EQ(CountHelperCertificates(L"Root"), 1);
  EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 1);
  EXPECT_EQ(DistrustOnThisMachine(identity.Encoded()), "");
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 0);
  EXPECT_EQ(DistrustOnThisMachine(identity.Encoded()), "") << "absent is not an error";
}

TEST_F(TrustStores, RemovingTheHelpersCertificatesTakesEveryOneAndNoOther) {
  SigningIdentity first, second, stranger;
  ASSERT_EQ(first.Create(), "");
  ASSERT_EQ(second.Create(), "");
  ASSERT_EQ(TrustOnThisMachine(first.Encoded()), "");
  ASSERT_EQ(TrustOnThisMachine(second.Encoded()), "");
  const int rootBefore = [] {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    int n = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) ++n;
    CertCloseStore(store, 0);
    return n;
  }();
  int removed = 0;
  EXPECT_EQ(RemoveHelperCertificates(&removed), "");
  EXPECT_EQ(removed, 4);
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  int rootAfter = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) ++rootAfter;
  CertCloseStore(store, 0);
  EXPECT_EQ(rootAfter, rootBefore - 2) << "the other root certificates stay";
}

// Portline.inf and Portline.sys in a folder of their own with a stand-in
// Portline.cat: Wine's driver store copies the catalog the INF names (and
// checks no signature). Returns the INF's path.
std::wstring StagedPortlinePackage() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring dir = std::wstring(temp) + L"portline-package";
  CreateDirectoryW(dir.c_str(), nullptr);
  for (const wchar_t* name : {L"Portline.inf", L"Portline.sys"})
    CopyFileW((std::wstring(L"" PORTLINE_PACKAGE_DIR) + L"\\" + name).c_str(), (dir + L"\\" + name).c_str(), FALSE);
  CloseHandle(CreateFileW((dir + L"\\Portline.cat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  return dir + L"\\Portline.inf";
}

TEST(DriverStore, ThePortlinePackageGoesInAndComesOutAgain) {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring published;
  bool reboot = true;
  ASSERT_EQ(InstallDriverPackage(StagedPortlinePackage(), L"USB\\VID_0000&PID_0000", &published, &reboot), "");
  EXPECT_FALSE(reboot);
  ASSERT_FALSE(published.empty());
  const std::wstring inDriverStore = std::wstring(windows) + L"\\inf\\" + published;
  EXPECT_NE(GetFileAttributesW(inDriverStore.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(RemoveDriverPackage(published), "");
  EXPECT_EQ(GetFileAttributesW(inDriverStore.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Record, WhatIsWrittenIsReadBackAndDeletingLeavesNone) {
  ASSERT_EQ(WriteRecord({L"oem7.inf", L"winusb"}), "");
  InstalledPackage record;
  ASSERT_TRUE(ReadRecord(&record));
  EXPECT_EQ(record.publishedInf, L"oem7.inf");
  EXPECT_EQ(record.package, L"winusb");
  EXPECT_EQ(DeleteRecord(), "");
  EXPECT_FALSE(ReadRecord(&record));
  EXPECT_EQ(DeleteRecord(), "") << "no record is not an error";
}

// Runs the helper and returns its exit status and what it printed.
int RunHelper(const std::string& arguments, std::string* output) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string outPath = std::string(temp) + "portline-setup-test.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = out;
  PROCESS_INFORMATION process{};
  std::string command = "\"" PORTLINE_SETUP_EXE "\" " + arguments;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    CloseHandle(out);
    return -1;
  }
  WaitForSingleObject(process.hProcess, 120000);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(out);
  output->clear();
  HANDLE in = CreateFileA(outPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got) output->append(buffer, got);
  CloseHandle(in);
  DeleteFileA(outPath.c_str());
  return static_cast<int>(status);
}

bool WorkFolderLeft() {
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, MAX_PATH);
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA((std::string(windows) + "\\Temp\\PortlineSetup-*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

class Helper : public TrustStores {};

TEST_F(Helper, ADryRunNamesEveryStepOfTheWinUsbInstallAndChangesNothing) {
  std::string output;
  ASSERT_EQ(RunHelper("install --dry-run --package \"" PORTLINE_PACKAGE_DIR "\"", &output), 0) << output;
  for (const char* step : {"Make a code-signing certificate", "Make the catalog PortlineWinUsb.cat",
                           "Sign the catalog", "Destroy the private key", "Root and TrustedPublisher",
                           "driver store", "Record the installation"})
    EXPECT_NE(output.find(step), std::string::npos) << step << "\n" << output;
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  EXPECT_FALSE(WorkFolderLeft());
}

TEST_F(Helper, PortlineSysOn64BitWindowsIsRefusedWithTheReason) {
  std::string output;
  EXPECT_EQ(RunHelper("install --quiet --driver portline --package \"" PORTLINE_PACKAGE_DIR "\"", &output), 1);
  EXPECT_NE(output.find("only in test mode"), std::string::npos) << output;
}

TEST_F(Helper, AnInstallEitherCompletesOrLeavesNothingBehind) {
  std::string output;
  const int status = RunHelper("install --quiet --package \"" PORTLINE_PACKAGE_DIR "\"", &output);
  InstalledPackage record;
  if (status == 0) {
    // A Windows with every catalog function: the package is in and trusted.
    EXPECT_TRUE(ReadRecord(&record)) << output;
    EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 1) << output;
    ASSERT_EQ(RunHelper("uninstall --quiet", &output), 0) << output;
  } else {
    // Wine 8 has no catalog functions: the helper stops there and undoes.
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("FAILED: "), std::string::npos) << output;
    EXPECT_NE(output.find("undo: Make a code-signing certificate"), std::string::npos) << output;
  }
  EXPECT_FALSE(ReadRecord(&record)) << output;
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0) << output;
  EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 0) << output;
  EXPECT_FALSE(WorkFolderLeft()) << output;
}

TEST_F(Helper, APackageWithItsDistributorsCatalogIsInstalledAsItIsWithNoCertificate) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring dir = std::wstring(temp) + L"signed-package";
  CreateDirectoryW(dir.c_str(), nullptr);
  CopyFileW(L"" PORTLINE_PACKAGE_DIR L"\\PortlineWinUsb.inf", (dir + L"\\PortlineWinUsb.inf").c_str(), FALSE);
  CloseHandle(CreateFileW((dir + L"\\PortlineWinUsb.cat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  char dirA[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, dir.c_str(), -1, dirA, MAX_PATH, nullptr, nullptr);

  std::string output;
  ASSERT_EQ(RunHelper("install --quiet --package \"" + std::string(dirA) + "\"", &output), 0) << output;
  InstalledPackage record;
  ASSERT_TRUE(ReadRecord(&record)) << output;
  EXPECT_EQ(record.package, L"winusb");
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0) << output;
  EXPECT_EQ(output.find("certificate and its private key"), std::string::npos) << output;
  EXPECT_EQ(RunHelper("uninstall --quiet", &output), 0) << output;
  EXPECT_FALSE(ReadRecord(&record));
}

TEST_F(Helper, UninstallRemovesTheRecordedPackageAndTheCertificates) {
  std::wstring published;
  bool reboot = false;
  ASSERT_EQ(InstallDriverPackage(StagedPortlinePackage(), L"USB\\VID_0000&PID_0000", &published, &reboot), "");
  ASSERT_EQ(WriteRecord({published, L"portline"}), "");
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(), "");
  ASSERT_EQ(TrustOnThisMachine(identity.Encoded()), "");

  std::string output;
  EXPECT_EQ(RunHelper("uninstall --quiet", &output), 0) << output;
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  EXPECT_EQ(GetFileAttributesW((std::wstring(windows) + L"\\inf\\" + published).c_str()), INVALID_FILE_ATTRIBUTES);
  InstalledPackage record;
  EXPECT_FALSE(ReadRecord(&record));
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 0);
}

}  // namespace
}  // namespace portline_setup
