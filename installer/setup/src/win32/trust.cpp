#include "trust.h"

#include <objbase.h>

#include <cstdio>

namespace portline_setup {

const wchar_t kCertificateSubject[] = L"CN=Portline WinUSB driver package (this PC only)";

namespace {

const wchar_t* const kStores[] = {L"Root", L"TrustedPublisher"};
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::wstring NewContainerName() {
  GUID guid{};
  CoCreateGuid(&guid);
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return std::wstring(L"Portline setup ") + text;
}

std::vector<BYTE> Encode(LPCSTR type, const void* value) {
  DWORD size = 0;
  if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, nullptr, &size)) return {};
  std::vector<BYTE> bytes(size);
  if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, bytes.data(), &size)) return {};
  bytes.resize(size);
  return bytes;
}

HCERTSTORE OpenMachineStore(const wchar_t* name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                       CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, name);
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

// Deletes, from one store, the certificates equal to `encoded` (or, when
// `encoded` is empty, every certificate with the helper's subject).
std::string RemoveFrom(const wchar_t* storeName, const std::vector<BYTE>& encoded, int* removed) {
  HCERTSTORE store = OpenMachineStore(storeName);
  if (!store) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return {};
    return "cannot open the " + Narrow(storeName) + " store: " + LastErrorText();
  }
  // Found first, deleted afterwards: deleting while enumerating is not
  // reliable in every implementation of the stores.
  std::vector<PCCERT_CONTEXT> victims;
  PCCERT_CONTEXT found = nullptr;
  while ((found = CertEnumCertificatesInStore(store, found)) != nullptr) {
    bool ours;
    if (encoded.empty()) {
      wchar_t subject[256] = {};
      CertNameToStrW(kEncoding, &found->pCertInfo->Subject, CERT_X500_NAME_STR, subject, 256);
      ours = wcscmp(subject, kCertificateSubject) == 0;
    } else {
      ours = found->cbCertEncoded == encoded.size() &&
             memcmp(found->pbCertEncoded, encoded.data(), encoded.size()) == 0;
    }
    if (ours) victims.push_back(CertDuplicateCertificateContext(found));
  }
  std::string failure;
  int deleted = 0;
  for (PCCERT_CONTEXT victim : victims) {
    // CertDeleteCertificateFromStore frees the context it is given.
    if (CertDeleteCertificateFromStore(victim))
      ++deleted;
    else
      failure = "cannot remove the certificate from the " + Narrow(storeName) + " store: " + LastErrorText();
  }
  // Written through at once, whether or not the store would by itself.
  if (deleted) CertControlStore(store, CERT_STORE_CTRL_COMMIT_FORCE_FLAG, CERT_STORE_CTRL_COMMIT, nullptr);
  if (removed) *removed += deleted;
  CertCloseStore(store, 0);
  return failure;
}

}  // namespace

std::string ErrorText(DWORD code) {
  char buffer[512] = {};
  std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(code));
  std::string text = buffer;
  char* message = nullptr;
  if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<char*>(&message), 0, nullptr) && message) {
    std::string m = message;
    LocalFree(message);
    while (!m.empty() && (m.back() == '\n' || m.back() == '\r' || m.back() == ' ' || m.back() == '.')) m.pop_back();
    text += " (" + m + ")";
  }
  return text;
}

std::string LastErrorText() { return ErrorText(GetLastError()); }

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

SigningIdentity::~SigningIdentity() {
  DestroyKey();
  if (certificate_) CertFreeCertificateContext(certificate_);
}

std::string SigningIdentity::Create() {
  if (certificate_) return "a certificate was already made";
  container_ = NewContainerName();
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
    const std::string why = LastErrorText();
    container_.clear();
    return "cannot make a key container: " + why;
  }
  HCRYPTKEY key = 0;
  if (!CryptGenKey(provider, AT_SIGNATURE, (2048u << 16), &key)) {
    const std::string why = LastErrorText();
    CryptReleaseContext(provider, 0);
    DestroyKey();
    return "cannot make an RSA key: " + why;
  }
  CryptDestroyKey(key);

  BYTE subject[512];
  DWORD subjectSize = sizeof subject;
  CERT_NAME_BLOB subjectBlob{};
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_ENHKEY_USAGE enhancedUsage{1, usage};
  std::vector<BYTE> usageBytes = Encode(X509_ENHANCED_KEY_USAGE, &enhancedUsage);
  if (!CertStrToNameW(X509_ASN_ENCODING, kCertificateSubject, CERT_X500_NAME_STR, nullptr, subject,
                      &subjectSize, nullptr) || usageBytes.empty()) {
    const std::string why = LastErrorText();
    CryptReleaseContext(provider, 0);
    DestroyKey();
    return "cannot encode the certificate's name or usage: " + why;
  }
  subjectBlob = {subjectSize, subject};
  CERT_EXTENSION extension{const_cast<LPSTR>(szOID_ENHANCED_KEY_USAGE), FALSE,
                           {static_cast<DWORD>(usageBytes.size()), usageBytes.data()}};
  CERT_EXTENSIONS extensions{1, &extension};

  CRYPT_KEY_PROV_INFO keyInfo{};
  keyInfo.pwszContainerName = const_cast<LPWSTR>(container_.c_str());
  keyInfo.pwszProvName = const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W);
  keyInfo.dwProvType = PROV_RSA_AES;
  keyInfo.dwKeySpec = AT_SIGNATURE;
  CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<LPSTR>(szOID_RSA_SHA256RSA), {}};

  // Valid from yesterday (clocks differ) for twenty years.
  SYSTEMTIME start{}, end{};
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
  t.QuadPart -= 24ull * 3600 * 10000000;
  FILETIME yesterday{t.LowPart, t.HighPart};
  FileTimeToSystemTime(&yesterday, &start);
  end = start;
  end.wYear = static_cast<WORD>(end.wYear + 20);
  if (end.wMonth == 2 && end.wDay == 29) end.wDay = 28;

  certificate_ = CertCreateSelfSignCertificate(provider, &subjectBlob, 0, &keyInfo, &algorithm, &start, &end,
                                               &extensions);
  const std::string why = certificate_ ? std::string() : LastErrorText();
  CryptReleaseContext(provider, 0);
  if (!certificate_) {
    DestroyKey();
    return "cannot make the certificate: " + why;
  }
  return {};
}

std::string SigningIdentity::DestroyKey() {
  if (container_.empty()) return {};
  if (certificate_) CertSetCertificateContextProperty(certificate_, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr);
  HCRYPTPROV unused = 0;
  if (!CryptAcquireContextW(&unused, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET))
    return "cannot delete the key container: " + LastErrorText();
  container_.clear();
  return {};
}

std::vector<BYTE> SigningIdentity::Encoded() const {
  if (!certificate_) return {};
  return std::vector<BYTE>(certificate_->pbCertEncoded, certificate_->pbCertEncoded + certificate_->cbCertEncoded);
}

std::string TrustOnThisMachine(const std::vector<BYTE>& encoded) {
  if (encoded.empty()) return "no certificate";
  for (const wchar_t* name : kStores) {
    HCERTSTORE store = OpenMachineStore(name);
    if (!store) store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
    const bool added = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, encoded.data(),
                                                                 static_cast<DWORD>(encoded.size()),
                                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const std::string why = added ? std::string() : LastErrorText();
    if (store) CertCloseStore(store, 0);
    if (!added) {
      DistrustOnThisMachine(encoded);
      return "cannot add the certificate to the local machine's " + Narrow(name) + " store: " + why;
    }
  }
  return {};
}

std::string DistrustOnThisMachine(const std::vector<BYTE>& encoded) {
  if (encoded.empty()) return {};
  std::string failure;
  for (const wchar_t* name : kStores) {
    std::string why = RemoveFrom(name, encoded, nullptr);
    if (!why.empty()) failure = why;
  }
  return failure;
}

std::string RemoveHelperCertificates(int* removed) {
  std::string failure;
  for (const wchar_t* name : kStores) {
    std::string why = RemoveFrom(name, {}, removed);
    if (why.empty() && CountHelperCertificates(name) > 0)
      why = "the certificate is still in the " + Narrow(name) + " store after removing it";
    if (!why.empty()) failure = why;
  }
  return failure;
}

int CountHelperCertificates(const wchar_t* storeName) {
  HCERTSTORE store = OpenMachineStore(storeName);
  if (!store) return 0;
  int count = 0;
  PCCERT_CONTEXT found = nullptr;
  while ((found = CertEnumCertificatesInStore(store, found)) != nullptr) {
    wchar_t subject[256] = {};
    CertNameToStrW(kEncoding, &found->pCertInfo->Subject, CERT_X500_NAME_STR, subject, 256);
    if (wcscmp(subject, kCertificateSubject) == 0) ++count;
  }
  CertCloseStore(store, 0);
  return count;
}

}  // namespace portline_setup
