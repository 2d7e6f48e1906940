// The setup helper's Windows side under Wine: the certificate and its key,
// the machine's trust stores, the private folders and their access lists,
// the driver store and the record, and the helper program itself. What Wine
// lacks (catalog functions, SignerSign, device binding, access checks) is
// checked by hand on Windows (installer/README.md).
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <set>
#include <string>

#include "driver_package.h"
#include "private_folder.h"
#include "trust.h"
#include "win32util/dll_search.h"

namespace portline_setup {
namespace {

// Every key container the RSA/AES provider knows, for the user and for the
// machine.
std::set<std::string> KeyContainers() {
  std::set<std::string> names;
  for (DWORD machine : {DWORD{0}, DWORD{CRYPT_MACHINE_KEYSET}}) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT | machine))
      continue;
    char name[1024];
    for (DWORD flag = CRYPT_FIRST;; flag = CRYPT_NEXT) {
      DWORD size = sizeof name;
      if (!CryptGetProvParam(provider, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flag)) break;
      names.insert((machine ? "machine:" : "user:") + std::string(name));
    }
    CryptReleaseContext(provider, 0);
  }
  return names;
}

// Files below the user's and the machine's key folders (Windows keeps
// CryptoAPI keys there) and Wine's key registry entries, by name.
std::set<std::string> KeyFiles() {
  std::set<std::string> names;
  char appData[MAX_PATH] = {}, allUsers[MAX_PATH] = {};
  GetEnvironmentVariableA("APPDATA", appData, MAX_PATH);
  GetEnvironmentVariableA("ALLUSERSPROFILE", allUsers, MAX_PATH);
  for (std::string folder :
       {std::string(appData) + "\\Microsoft\\Crypto\\RSA",
        std::string(allUsers) + "\\Microsoft\\Crypto\\RSA\\MachineKeys",
        std::string(allUsers) + "\\Application Data\\Microsoft\\Crypto\\RSA\\MachineKeys"}) {
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do names.insert(folder + "\\" + found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
  }
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, "Software\\Wine\\Crypto\\RSA", 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
    char name[512];
    for (DWORD i = 0;; ++i) {
      DWORD size = sizeof name;
      if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.insert(std::string(root == HKEY_CURRENT_USER ? "HKCU:" : "HKLM:") + name);
    }
    RegCloseKey(key);
  }
  return names;
}

bool HasProperty(PCCERT_CONTEXT certificate, DWORD property) {
  DWORD size = 0;
  return CertGetCertificateContextProperty(certificate, property, nullptr, &size) != FALSE;
}

// Signs a few bytes with the certificate's key, as SignerSign reaches it.
bool CanSignWith(PCCERT_CONTEXT certificate) {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  DWORD keyKind = 0;
  BOOL mustFree = FALSE;
  if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &key, &keyKind,
                                         &mustFree))
    return false;
  HCRYPTHASH hash = 0;
  bool signedOk = false;
  if (CryptCreateHash(key, CALG_SHA_256, 0, 0, &hash)) {
    const BYTE data[] = "catalog";
    BYTE signature[512];
    DWORD size = sizeof signature;
    signedOk =
        CryptHashData(hash, data, sizeof data, 0) && CryptSignHashW(hash, keyKind, nullptr, 0, signature, &size);
    CryptDestroyHash(hash);
  }
  if (mustFree) CryptReleaseContext(key, 0);
  return signedOk;
}

const CERT_EXTENSION* Extension(PCCERT_CONTEXT certificate, const char* oid) {
  return CertFindExtension(oid, certificate->pCertInfo->cExtension, certificate->pCertInfo->rgExtension);
}

class TrustStores : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RemoveHelperCertificates(nullptr), ""); }
  void TearDown() override { RemoveHelperCertificates(nullptr); }
};

TEST_F(TrustStores, TheCertificateIsForCodeSigningOnlyAndNamesTheProductAndThisPc) {
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(SignatureDigest::Sha256), "");
  PCCERT_CONTEXT certificate = identity.certificate();
  ASSERT_NE(certificate, nullptr);
  const std::wstring subject = SubjectText(certificate);
  EXPECT_EQ(subject, ThisPcCertificateSubject());
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  GetComputerNameW(computer, &size);
  EXPECT_NE(subject.find(computer), std::wstring::npos) << "the PC is named";
  EXPECT_NE(subject.find(L"Seamlog"), std::wstring::npos) << "the product is named";
  EXPECT_TRUE(IsHelperSubject(subject));
  EXPECT_EQ(CertCompareCertificateName(X509_ASN_ENCODING, &certificate->pCertInfo->Subject,
                                       &certificate->pCertInfo->Issuer),
            TRUE)
      << "self-signed";

  const CERT_EXTENSION* usage = Extension(certificate, szOID_ENHANCED_KEY_USAGE);
  ASSERT_NE(usage, nullptr);
  EXPECT_TRUE(usage->fCritical);
  std::string usageBytes(reinterpret_cast<char*>(usage->Value.pbData), usage->Value.cbData);
  EXPECT_NE(usageBytes.find("\x2b\x06\x01\x05\x05\x07\x03\x03"), std::string::npos) << "code signing usage";

  const CERT_EXTENSION* constraints = Extension(certificate, szOID_BASIC_CONSTRAINTS2);
  ASSERT_NE(constraints, nullptr);
  EXPECT_TRUE(constraints->fCritical);
  CERT_BASIC_CONSTRAINTS2_INFO info{TRUE, TRUE, 9};
  DWORD infoSize = sizeof info;
  ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, constraints->Value.pbData,
                                constraints->Value.cbData, 0, &info, &infoSize));
  EXPECT_FALSE(info.fCA) << "no certificate authority";

  const CERT_EXTENSION* keyUsage = Extension(certificate, szOID_KEY_USAGE);
  ASSERT_NE(keyUsage, nullptr);
  EXPECT_TRUE(keyUsage->fCritical);
  BYTE bits = 0;
  ASSERT_TRUE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, certificate->pCertInfo, &bits, 1));
  EXPECT_EQ(bits, CERT_DIGITAL_SIGNATURE_KEY_USAGE) << "digital signature and nothing else";
  EXPECT_STREQ(certificate->pCertInfo->SignatureAlgorithm.pszObjId, szOID_RSA_SHA256RSA);
}

TEST_F(TrustStores, OnWindowsSevenTheCertificateIsSignedWithSha1) {
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(DigestFor({6, 1})), "");
  EXPECT_STREQ(identity.certificate()->pCertInfo->SignatureAlgorithm.pszObjId, szOID_RSA_SHA1RSA);
}

TEST_F(TrustStores, TheKeyLeavesNoContainerAndNoFileAndEndsWhenDestroyed) {
  const std::set<std::string> containersBefore = KeyContainers();
  const std::set<std::string> filesBefore = KeyFiles();
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(SignatureDigest::Sha256), "");
  EXPECT_EQ(KeyContainers(), containersBefore) << "made";
  EXPECT_EQ(KeyFiles(), filesBefore) << "made";
  EXPECT_FALSE(HasProperty(identity.certificate(), CERT_KEY_PROV_INFO_PROP_ID)) << "no container to name";
  EXPECT_TRUE(CanSignWith(identity.certificate())) << "the helper itself can sign";
  EXPECT_EQ(KeyContainers(), containersBefore) << "used";
  EXPECT_EQ(KeyFiles(), filesBefore) << "used";

  ASSERT_EQ(identity.DestroyKey(), "");
  EXPECT_FALSE(identity.hasKey());
  EXPECT_FALSE(HasProperty(identity.certificate(), CERT_KEY_CONTEXT_PROP_ID));
  EXPECT_FALSE(CanSignWith(identity.certificate())) << "nothing can be signed any more";
  EXPECT_EQ(KeyContainers(), containersBefore) << "destroyed";
  EXPECT_EQ(KeyFiles(), filesBefore) << "destroyed";
  EXPECT_EQ(identity.DestroyKey(), "") << "destroying twice is harmless";
}

TEST_F(TrustStores, TrustAddsTheCertificateToRootAndTrustedPublisherAndDistrustTakesItOut) {
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(SignatureDigest::Sha256), "");
  ASSERT_EQ(TrustOnThisMachine(identity.Encoded()), "");
  EXPECT_EQ(CountHelperCertificates(L"Root"), 1);
  EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 1);
  EXPECT_EQ(DistrustOnThisMachine(identity.Encoded()), "");
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 0);
  EXPECT_EQ(DistrustOnThisMachine(identity.Encoded()), "") << "absent is not an error";
}

TEST_F(TrustStores, RemovingTheHelpersCertificatesTakesEveryOneAndNoOther) {
  SigningIdentity first, second;
  ASSERT_EQ(first.Create(SignatureDigest::Sha256), "");
  ASSERT_EQ(second.Create(SignatureDigest::Sha1), "");
  ASSERT_EQ(TrustOnThisMachine(first.Encoded()), "");
  ASSERT_EQ(TrustOnThisMachine(second.Encoded()), "");
  const int rootBefore = [] {
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
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

TEST_F(TrustStores, ReplacingKeepsTheNewCertificateAndRemovesTheEarlierOnes) {
  SigningIdentity earlier, current;
  ASSERT_EQ(earlier.Create(SignatureDigest::Sha256), "");
  ASSERT_EQ(current.Create(SignatureDigest::Sha256), "");
  ASSERT_EQ(TrustOnThisMachine(earlier.Encoded()), "");
  ASSERT_EQ(TrustOnThisMachine(current.Encoded()), "");
  int removed = 0;
  EXPECT_EQ(RemoveHelperCertificates(&removed, current.Encoded()), "");
  EXPECT_EQ(removed, 2);
  EXPECT_EQ(CountHelperCertificates(L"Root"), 1);
  EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 1);
  EXPECT_EQ(DistrustOnThisMachine(current.Encoded()), "");
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0) << "the one kept was the new one";
}

// ---- private folders --------------------------------------------------------

struct AceSummary {
  std::string sid;  // "S-1-5-18"
  DWORD mask;
  BYTE flags;
};

std::vector<AceSummary> AcesOf(PSECURITY_DESCRIPTOR descriptor, bool* isProtected) {
  std::vector<AceSummary> aces;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  *isProtected = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) return aces;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
      aces.push_back({"not an allow entry", 0, 0});
      continue;
    }
    char* sid = nullptr;
    ConvertSidToStringSidA(&allowed->SidStart, &sid);
    aces.push_back({sid ? sid : "?", allowed->Mask, allowed->Header.AceFlags});
    LocalFree(sid);
  }
  return aces;
}

constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

TEST(PrivateFolders, TheWorkFolderIsForSystemAndAdministratorsOnlyAndInheritsNothing) {
  const SecurityDescriptor descriptor(kAdministratorsOnlySddl);
  ASSERT_TRUE(descriptor);
  bool isProtected = false;
  const auto aces = AcesOf(descriptor.get(), &isProtected);
  EXPECT_TRUE(isProtected) << "the parent's entries (Users may create files in Temp) do not reach it";
  ASSERT_EQ(aces.size(), 2u);
  EXPECT_EQ(aces[0].sid, "S-1-5-18");
  EXPECT_EQ(aces[1].sid, "S-1-5-32-544");
  for (const AceSummary& ace : aces) {
    EXPECT_EQ(ace.mask, static_cast<DWORD>(FILE_ALL_ACCESS)) << ace.sid;
    EXPECT_EQ(ace.flags, kInherited) << ace.sid;
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
  char* ownerText = nullptr;
  ConvertSidToStringSidA(owner, &ownerText);
  EXPECT_STREQ(ownerText, "S-1-5-32-544") << "owned by Administrators, not by whoever ran the helper";
  LocalFree(ownerText);
}

TEST(PrivateFolders, TheHelpersFolderLetsUsersReadAndRunButNotChange) {
  const SecurityDescriptor descriptor(kProtectedFolderSddl);
  ASSERT_TRUE(descriptor);
  bool isProtected = false;
  const auto aces = AcesOf(descriptor.get(), &isProtected);
  EXPECT_TRUE(isProtected);
  ASSERT_EQ(aces.size(), 3u);
  EXPECT_EQ(aces[2].sid, "S-1-5-32-545");
  const DWORD change = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                       WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
  EXPECT_EQ(aces[2].mask & change, 0u) << std::hex << aces[2].mask;
  EXPECT_EQ(aces[2].mask & (FILE_READ_DATA | FILE_EXECUTE),
            static_cast<DWORD>(FILE_READ_DATA | FILE_EXECUTE));
}

std::wstring TempPath(const std::wstring& name) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + name;
}

TEST(PrivateFolders, AFolderOrFileSomeoneMadeFirstIsRefusedNotTakenOver) {
  const std::wstring folder = TempPath(RandomName(L"precreated-"));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_NE(MakeNewFolder(folder, kAdministratorsOnlySddl).find("already there"), std::string::npos);

  const std::wstring cdf = folder + L"\\package.cdf";
  ASSERT_EQ(WriteNewFile(cdf, "[CatalogHeader]\r\nName=evil.cat\r\n"), "");
  EXPECT_NE(WriteNewFile(cdf, "[CatalogHeader]\r\n").find("already there"), std::string::npos);
  const std::wstring inf = folder + L"\\PortlineWinUsb.inf";
  ASSERT_EQ(WriteNewFile(inf, "planted"), "");
  EXPECT_NE(CopyAsNewFile(L"" PORTLINE_PACKAGE_DIR L"\\PortlineWinUsb.inf", inf).find("already there"),
            std::string::npos);
  char kept[16] = {};
  DWORD got = 0;
  HANDLE file = CreateFileW(inf.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ReadFile(file, kept, sizeof kept - 1, &got, nullptr);
  CloseHandle(file);
  EXPECT_STREQ(kept, "planted") << "refused, not written over";
  EXPECT_EQ(RemoveFolder(folder), "");
  EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(PrivateFolders, WorkFolderNamesAreNeverTheSame) {
  std::set<std::wstring> names;
  for (int i = 0; i < 50; ++i) names.insert(RandomName(L"PortlineSetup-"));
  EXPECT_EQ(names.size(), 50u);
  EXPECT_EQ(names.begin()->rfind(L"PortlineSetup-", 0), 0u);
  EXPECT_GE(names.begin()->size(), std::wstring(L"PortlineSetup-").size() + 32);
}

TEST(PrivateFolders, TheDigestIsSha256OfTheWholeFile) {
  const std::wstring file = TempPath(RandomName(L"digest-"));
  ASSERT_EQ(WriteNewFile(file, "abc"), "");
  std::string why;
  EXPECT_EQ(FileSha256(file, &why), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  DeleteFileW(file.c_str());
  EXPECT_EQ(FileSha256(file, &why), "");
  EXPECT_NE(why, "");
}

// A PKCS #7 signed file (as a catalog is) signed with a key of `provider`.
std::string WriteSignedFile(const std::wstring& path, PCCERT_CONTEXT certificate, HCRYPTPROV provider) {
  CMSG_SIGNER_ENCODE_INFO signer{};
  signer.cbSize = sizeof signer;
  signer.pCertInfo = certificate->pCertInfo;
  signer.hCryptProv = provider;
  signer.dwKeySpec = AT_SIGNATURE;
  signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_OIWSEC_sha1);
  CERT_BLOB certificateBlob{certificate->cbCertEncoded, certificate->pbCertEncoded};
  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &signer;
  info.cCertEncoded = 1;
  info.rgCertEncoded = &certificateBlob;
  HCRYPTMSG message =
      CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_SIGNED, &info, nullptr, nullptr);
  if (!message) return "no message";
  const BYTE content[] = "catalog members";
  std::string bytes;
  DWORD size = 0;
  if (CryptMsgUpdate(message, content, sizeof content, TRUE) &&
      CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, nullptr, &size)) {
    bytes.resize(size);
    CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, bytes.data(), &size);
    bytes.resize(size);
  }
  CryptMsgClose(message);
  if (bytes.empty()) return "not signed";
  DeleteFileW(path.c_str());
  return WriteNewFile(path, bytes);
}

// Portline.inf and Portline.sys in a folder of their own with a stand-in
// Portline.cat signed by a helper's certificate: Wine's driver store copies
// the catalog the INF names (and checks no signature or member). Returns the
// INF's path.
std::wstring StagedPortlinePackage() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring dir = std::wstring(temp) + L"portline-package";
  CreateDirectoryW(dir.c_str(), nullptr);
  for (const wchar_t* name : {L"Portline.inf", L"Portline.sys"})
    CopyFileW((std::wstring(L"" PORTLINE_PACKAGE_DIR) + L"\\" + name).c_str(), (dir + L"\\" + name).c_str(),
              FALSE);
  static SigningIdentity helper;
  if (!helper.certificate()) helper.Create(SignatureDigest::Sha256);
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  DWORD keyKind = 0;
  BOOL mustFree = FALSE;
  CryptAcquireCertificatePrivateKey(helper.certificate(), CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &key, &keyKind,
                                    &mustFree);
  EXPECT_EQ(WriteSignedFile(dir + L"\\Portline.cat", helper.certificate(), key), "");
  return dir + L"\\Portline.inf";
}

// A package of another vendor: its own INF name and provider.
std::wstring StagedForeignPackage() {
  const std::wstring dir = TempPath(L"foreign-package");
  CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring inf = dir + L"\\othervendor.inf";
  DeleteFileW(inf.c_str());
  WriteNewFile(
      inf,
      "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=USBDevice\r\n"
      "ClassGuid={88BAE032-5A81-49f0-BC3D-A4FF138216D6}\r\nProvider=%P%\r\nDriverVer=01/01/2020,1.0.0.0\r\n"
      "[Manufacturer]\r\n%P%=Other,NTamd64\r\n[Other.NTamd64]\r\n%D%=Nothing,USB\\VID_FFFF&PID_FFFF\r\n"
      "[Nothing]\r\n[Strings]\r\nP=\"Other Vendor\"\r\nD=\"Other device\"\r\n");
  return inf;
}

std::wstring InDriverStore(const std::wstring& published) {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\inf\\" + published;
}

// Wine's SetupUninstallOEMInf removes a package only by force and says
// "done" otherwise; Windows removes it when no device uses it. Either the
// package is gone, or the helper says Windows kept it (never "removed").
::testing::AssertionResult GoneOrReportedKept(const std::string& result, const std::wstring& published) {
  const bool gone = GetFileAttributesW(InDriverStore(published).c_str()) == INVALID_FILE_ATTRIBUTES;
  if (gone) return ::testing::AssertionSuccess();
  char name[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, published.c_str(), -1, name, MAX_PATH, nullptr, nullptr);
  if (result.find("kept the driver package " + std::string(name)) != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "still in the driver store and not reported: " << result;
}

// Test clean-up only: the helper itself never removes by force.
void ForceRemove(const std::wstring& published) {
  using UninstallOemInfFn = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);
  auto uninstall = reinterpret_cast<UninstallOemInfFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"setupapi.dll"), "SetupUninstallOEMInfW")));
  if (uninstall) uninstall(published.c_str(), 1 /* SUOI_FORCEDELETE */, nullptr);
}

TEST(DriverStore, ThePortlinePackageGoesInAndComesOutAgain) {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring published;
  bool reboot = true;
  ASSERT_EQ(InstallDriverPackage(StagedPortlinePackage(), L"USB\\VID_0000&PID_0000", &published, &reboot),
            "");
  EXPECT_FALSE(reboot);
  ASSERT_FALSE(published.empty());
  const std::wstring inDriverStore = std::wstring(windows) + L"\\inf\\" + published;
  EXPECT_NE(GetFileAttributesW(inDriverStore.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(WhyNotOurs(published), "");
  const std::string result = RemoveOurPackage(published);
  EXPECT_TRUE(GoneOrReportedKept(result, published));
  EXPECT_EQ(result.empty(), GetFileAttributesW(inDriverStore.c_str()) == INVALID_FILE_ATTRIBUTES)
      << "success means gone: " << result;
  ForceRemove(published);
}

TEST(DriverStore, AnotherVendorsPackageIsNeverTakenForOurs) {
  std::wstring published;
  bool reboot = false;
  ASSERT_EQ(InstallDriverPackage(StagedForeignPackage(), L"USB\\VID_FFFF&PID_FFFF", &published, &reboot), "");
  EXPECT_NE(WhyNotOurs(published).find("original name is othervendor.inf"), std::string::npos)
      << WhyNotOurs(published);
  EXPECT_NE(RemoveOurPackage(published).find("not our package"), std::string::npos);
  EXPECT_NE(GetFileAttributesW(InDriverStore(published).c_str()), INVALID_FILE_ATTRIBUTES);
  for (const std::wstring& ours : OurPublishedInfs()) EXPECT_NE(ours, published);
  ForceRemove(published);
}

// The catalog Windows keeps for a published INF, signed by `signer`.
std::string InstallCatalog(const std::wstring& published, PCCERT_CONTEXT certificate, HCRYPTPROV provider) {
  const std::wstring path = InstalledCatalogOf(published);
  CreateDirectoryW(path.substr(0, path.rfind(L"\\CatRoot\\") + 8).c_str(), nullptr);
  CreateDirectoryW(path.substr(0, path.find_last_of(L'\\')).c_str(), nullptr);
  return WriteSignedFile(path, certificate, provider);
}

TEST(DriverStore, APackageWithOurNamesIsOursOnlyWhenAHelperSignedItsCatalog) {
  std::wstring published;
  bool reboot = false;
  ASSERT_EQ(InstallDriverPackage(StagedPortlinePackage(), L"USB\\VID_0000&PID_0000", &published, &reboot),
            "");

  // A stranger's certificate, its key in memory.
  HCRYPTPROV strangerKey = 0;
  ASSERT_TRUE(
      CryptAcquireContextW(&strangerKey, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGenKey(strangerKey, AT_SIGNATURE, 1024u << 16, &key));
  CryptDestroyKey(key);
  BYTE name[256];
  DWORD nameSize = sizeof name;
  ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, L"CN=Other Vendor Inc", CERT_X500_NAME_STR, nullptr, name,
                             &nameSize, nullptr));
  CERT_NAME_BLOB subject{nameSize, name};
  PCCERT_CONTEXT stranger =
      CertCreateSelfSignCertificate(strangerKey, &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(stranger, nullptr);
  ASSERT_EQ(InstallCatalog(published, stranger, strangerKey), "");
  EXPECT_EQ(SignerSubject(InstalledCatalogOf(published)), L"CN=Other Vendor Inc");
  EXPECT_NE(WhyNotOurs(published).find("its catalog is signed by CN=Other Vendor Inc"), std::string::npos)
      << WhyNotOurs(published);
  EXPECT_NE(RemoveOurPackage(published).find("not our package"), std::string::npos);
  EXPECT_EQ(WhyNotOurs(published, OurSigner::Anyone), "")
      << "a distributor's catalog is signed by the distributor";

  SigningIdentity identity;
  ASSERT_EQ(identity.Create(SignatureDigest::Sha256), "");
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE ours = 0;
  DWORD keyKind = 0;
  BOOL mustFree = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(identity.certificate(), CRYPT_ACQUIRE_CACHE_FLAG, nullptr,
                                                &ours, &keyKind, &mustFree));
  ASSERT_EQ(InstallCatalog(published, identity.certificate(), ours), "");
  EXPECT_EQ(WhyNotOurs(published), "") << "signed by the helper on this PC";

  DeleteFileW(InstalledCatalogOf(published).c_str());
  CertFreeCertificateContext(stranger);
  CryptReleaseContext(strangerKey, 0);
  ForceRemove(published);
}

TEST(Record, WhatIsWrittenIsReadBackAndDeletingLeavesNone) {
  ASSERT_EQ(WriteRecord({L"oem7.inf", L"winusb", L"installed", L"oem3.inf"}), "");
  InstalledPackage record;
  ASSERT_TRUE(ReadRecord(&record));
  EXPECT_EQ(record.publishedInf, L"oem7.inf");
  EXPECT_EQ(record.package, L"winusb");
  EXPECT_EQ(record.state, L"installed");
  EXPECT_EQ(record.earlierPublishedInf, L"oem3.inf");
  EXPECT_EQ(DeleteRecord(), "");
  EXPECT_FALSE(ReadRecord(&record));
  EXPECT_EQ(DeleteRecord(), "") << "no record is not an error";
}

// Runs the helper and returns its exit status and what it printed.
int RunHelper(const std::string& arguments, std::string* output) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  static int run = 0;
  const std::string outPath = std::string(temp) + "portline-setup-test-" +
                              std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++run) + ".txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out =
      CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = out;
  PROCESS_INFORMATION process{};
  std::string command = "\"" PORTLINE_SETUP_EXE "\" " + arguments;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
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
  HANDLE in =
      CreateFileA(outPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got) output->append(buffer, got);
  CloseHandle(in);
  DeleteFileA(outPath.c_str());
  return static_cast<int>(status);
}

bool ProtectedFolderLeft() {
  char programFiles[MAX_PATH] = {};
  GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH);
  return GetFileAttributesA((std::string(programFiles) + "\\Portline Setup").c_str()) !=
         INVALID_FILE_ATTRIBUTES;
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

// Each helper test starts and ends with no package of ours, no record and
// no helper folder, whatever an earlier (failed) test left.
class Helper : public TrustStores {
 protected:
  static void Clean() {
    for (const std::wstring& ours : OurPublishedInfs()) ForceRemove(ours);
    DeleteRecord();
    char programFiles[MAX_PATH] = {};
    GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH);
    wchar_t folder[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, (std::string(programFiles) + "\\Portline Setup").c_str(), -1, folder,
                        MAX_PATH);
    RemoveFolder(folder);
  }
  void SetUp() override {
    TrustStores::SetUp();
    Clean();
  }
  void TearDown() override {
    Clean();
    TrustStores::TearDown();
  }
};

TEST_F(Helper, ADryRunNamesEveryStepOfTheWinUsbInstallAndChangesNothing) {
  std::string output;
  ASSERT_EQ(RunHelper("install --dry-run --package \"" PORTLINE_PACKAGE_DIR "\"", &output), 0) << output;
  for (const char* step :
       {"only administrators can change", "private work folder", "against the digests",
        "key that exists in memory only", "Make the catalog", "Sign the catalog", "Destroy the private key",
        "Root and TrustedPublisher", "as pending", "driver store", "Record the installation as done"})
    EXPECT_NE(output.find(step), std::string::npos) << step << "\n" << output;
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  EXPECT_FALSE(WorkFolderLeft());
  EXPECT_FALSE(ProtectedFolderLeft());
}

TEST_F(Helper, PortlineSysOn64BitWindowsIsRefusedWithTheReason) {
  std::string output;
  EXPECT_EQ(RunHelper("install --quiet --driver portline --package \"" PORTLINE_PACKAGE_DIR "\"", &output),
            1);
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
  if (status != 0) EXPECT_FALSE(ProtectedFolderLeft()) << output;
}

// A copy of the built package with one file changed, as a program of the
// user could change it in the user's folder.
std::string TamperedPackage(const wchar_t* changedFile) {
  const std::wstring dir = TempPath(RandomName(L"tampered-"));
  CreateDirectoryW(dir.c_str(), nullptr);
  for (const wchar_t* name : {L"PortlineWinUsb.inf", L"Portline.inf", L"Portline.sys"})
    CopyFileW((L"" PORTLINE_PACKAGE_DIR L"\\" + std::wstring(name)).c_str(), (dir + L"\\" + name).c_str(),
              FALSE);
  HANDLE file = CreateFileW((dir + L"\\" + changedFile).c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  const char extra[] = "\r\n[Evil_AddReg]\r\nHKLM,Software\\Evil,,,1\r\n";
  DWORD written = 0;
  WriteFile(file, extra, sizeof extra - 1, &written, nullptr);
  CloseHandle(file);
  char dirA[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, dir.c_str(), -1, dirA, MAX_PATH, nullptr, nullptr);
  return dirA;
}

TEST_F(Helper, AChangedInfIsRefusedBeforeAnythingIsSignedOrInstalled) {
  std::string output;
  EXPECT_EQ(
      RunHelper("install --quiet --package \"" + TamperedPackage(L"PortlineWinUsb.inf") + "\"", &output), 1);
  EXPECT_NE(output.find("not the file this setup was built with"), std::string::npos) << output;
  EXPECT_EQ(output.find("[4/"), std::string::npos) << "no key was made\n" << output;
  InstalledPackage record;
  EXPECT_FALSE(ReadRecord(&record));
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  EXPECT_FALSE(WorkFolderLeft()) << output;
  EXPECT_FALSE(ProtectedFolderLeft()) << output;
}

TEST_F(Helper, AChangedDriverFileIsRefusedToo) {
  std::string output;
  EXPECT_EQ(
      RunHelper("install --quiet --driver portline --package \"" + TamperedPackage(L"Portline.sys") + "\"",
                &output) == 0,
      false);
  // 64-bit Windows refuses Portline.sys before looking at it; the WinUSB
  // package ignores it. The digest table still fixes every file.
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
  EXPECT_FALSE(ProtectedFolderLeft()) << output;
}

TEST_F(Helper, AFailedReinstallKeepsTheWorkingPackageAndItsRecord) {
  std::wstring published;
  bool reboot = false;
  ASSERT_EQ(InstallDriverPackage(StagedPortlinePackage(), L"USB\\VID_0000&PID_0000", &published, &reboot),
            "");
  const InstalledPackage earlier{published, L"portline", L"installed", L""};
  ASSERT_EQ(WriteRecord(earlier), "");
  std::string output;
  const int status = RunHelper("install --quiet --package \"" PORTLINE_PACKAGE_DIR "\"", &output);
  InstalledPackage record;
  ASSERT_TRUE(ReadRecord(&record)) << output;
  if (status == 0) {
    // A Windows with catalog functions: the new package replaced the old.
    EXPECT_EQ(GetFileAttributesW(InDriverStore(published).c_str()), INVALID_FILE_ATTRIBUTES) << output;
  } else {
    EXPECT_NE(GetFileAttributesW(InDriverStore(published).c_str()), INVALID_FILE_ATTRIBUTES) << output;
    EXPECT_EQ(record.publishedInf, earlier.publishedInf);
    EXPECT_EQ(record.state, L"installed");
    EXPECT_EQ(output.find("Remove the driver package installed earlier"), std::string::npos) << output;
  }
  const int removal = RunHelper("uninstall --quiet", &output);
  EXPECT_TRUE(GoneOrReportedKept(output, published)) << removal;
  EXPECT_EQ(removal == 0, GetFileAttributesW(InDriverStore(published).c_str()) == INVALID_FILE_ATTRIBUTES)
      << output;
  ForceRemove(published);
}

TEST_F(Helper, UninstallLeavesAnotherVendorsPackageOnTheRecordedNumberAlone) {
  std::wstring published;
  bool reboot = false;
  ASSERT_EQ(InstallDriverPackage(StagedForeignPackage(), L"USB\\VID_FFFF&PID_FFFF", &published, &reboot), "");
  // Windows gave the number of our removed package to another vendor's.
  ASSERT_EQ(WriteRecord({published, L"winusb", L"installed", L""}), "");
  std::string output;
  EXPECT_EQ(RunHelper("uninstall --quiet", &output), 0) << output;
  EXPECT_NE(output.find("not our package"), std::string::npos) << output;
  EXPECT_NE(GetFileAttributesW(InDriverStore(published).c_str()), INVALID_FILE_ATTRIBUTES) << output;
  InstalledPackage record;
  EXPECT_FALSE(ReadRecord(&record));
  ForceRemove(published);
}

TEST_F(Helper, UninstallFindsThePackageAKilledInstallLeftWhilePending) {
  ASSERT_EQ(WriteRecord({L"", L"portline", L"pending", L""}), "");
  std::wstring published;
  bool reboot = false;
  // The helper was killed right after SetupCopyOEMInf: the record has no name.
  ASSERT_EQ(InstallDriverPackage(StagedPortlinePackage(), L"USB\\VID_0000&PID_0000", &published, &reboot),
            "");
  std::string output;
  const int status = RunHelper("uninstall --quiet", &output);
  EXPECT_TRUE(GoneOrReportedKept(output, published)) << "found by its name, provider and original name";
  EXPECT_EQ(status == 0, GetFileAttributesW(InDriverStore(published).c_str()) == INVALID_FILE_ATTRIBUTES)
      << output;
  ForceRemove(published);
  DeleteRecord();
}

TEST_F(Helper, APackageWithItsDistributorsCatalogIsInstalledAsItIsWithNoCertificate) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring dir = std::wstring(temp) + L"signed-package";
  CreateDirectoryW(dir.c_str(), nullptr);
  CopyFileW(L"" PORTLINE_PACKAGE_DIR L"\\PortlineWinUsb.inf", (dir + L"\\PortlineWinUsb.inf").c_str(), FALSE);
  CloseHandle(CreateFileW((dir + L"\\PortlineWinUsb.cat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          0, nullptr));
  char dirA[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, dir.c_str(), -1, dirA, MAX_PATH, nullptr, nullptr);

  std::string output;
  ASSERT_EQ(RunHelper("install --quiet --package \"" + std::string(dirA) + "\"", &output), 0) << output;
  InstalledPackage record;
  ASSERT_TRUE(ReadRecord(&record)) << output;
  EXPECT_EQ(record.package, L"winusb");
  EXPECT_EQ(CountHelperCertificates(L"Root"), 0) << output;
  EXPECT_EQ(output.find("key that exists in memory only"), std::string::npos) << output;
  const int status = RunHelper("uninstall --quiet", &output);
  EXPECT_TRUE(GoneOrReportedKept(output, record.publishedInf));
  EXPECT_EQ(status == 0,
            GetFileAttributesW(InDriverStore(record.publishedInf).c_str()) == INVALID_FILE_ATTRIBUTES)
      << output;
  ForceRemove(record.publishedInf);
}

TEST_F(Helper, UninstallRemovesTheRecordedPackageAndTheCertificates) {
  std::wstring published;
  bool reboot = false;
  ASSERT_EQ(InstallDriverPackage(StagedPortlinePackage(), L"USB\\VID_0000&PID_0000", &published, &reboot),
            "");
  ASSERT_EQ(WriteRecord({published, L"portline", L"installed", L""}), "");
  SigningIdentity identity;
  ASSERT_EQ(identity.Create(SignatureDigest::Sha256), "");
  ASSERT_EQ(TrustOnThisMachine(identity.Encoded()), "");

  std::string output;
  const int status = RunHelper("uninstall --quiet", &output);
  EXPECT_TRUE(GoneOrReportedKept(output, published));
  EXPECT_EQ(status == 0, GetFileAttributesW(InDriverStore(published).c_str()) == INVALID_FILE_ATTRIBUTES)
      << output;
  ForceRemove(published);
  InstalledPackage record;
  if (status == 0) {
    EXPECT_FALSE(ReadRecord(&record));
    EXPECT_EQ(CountHelperCertificates(L"Root"), 0);
    EXPECT_EQ(CountHelperCertificates(L"TrustedPublisher"), 0);
  } else {
    // A package that stays keeps its certificate and the record, for the
    // next uninstall once the splicer is unplugged.
    EXPECT_TRUE(ReadRecord(&record)) << output;
    EXPECT_EQ(CountHelperCertificates(L"Root"), 1) << output;
  }
}

// Last: the restriction holds for the rest of the process.
TEST(DllSearch, AfterTheRestrictionADllBesideTheProgramIsNotLoadedByName) {
  wchar_t program[MAX_PATH] = {}, system[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring planted(program);
  planted = planted.substr(0, planted.find_last_of(L'\\')) + L"\\planted-setup-test.dll";
  GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_TRUE(CopyFileW((std::wstring(system) + L"\\version.dll").c_str(), planted.c_str(), FALSE));
  HMODULE before = LoadLibraryW(L"planted-setup-test.dll");
  EXPECT_NE(before, nullptr) << "the program's folder is searched by default";
  if (before) FreeLibrary(before);

  EXPECT_TRUE(win32util::RestrictDllSearchToSystemFolder());
  HMODULE after = LoadLibraryW(L"planted-setup-test.dll");
  EXPECT_EQ(after, nullptr) << "the program's folder is no longer searched";
  if (after) FreeLibrary(after);
  HMODULE systemDll = LoadLibraryW(L"version.dll");
  EXPECT_NE(systemDll, nullptr) << "system DLLs still load by name";
  if (systemDll) FreeLibrary(systemDll);
  DeleteFileW(planted.c_str());
}

}  // namespace
}  // namespace portline_setup
