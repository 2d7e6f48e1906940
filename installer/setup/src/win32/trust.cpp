#include "trust.h"

#include <cstdio>

#include "crypt32_api.h"

namespace portline_setup {
namespace {

const wchar_t* const kStores[] = {L"Root", L"TrustedPublisher"};
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kNoCrypt32[] = "this Windows has no certificate functions (crypt32.dll)";

std::vector<BYTE> Encode(LPCSTR type, const void* value) {
  const Crypt32* crypt = Crypt();
  DWORD size = 0;
  if (!crypt || !crypt->encodeObject(X509_ASN_ENCODING, type, value, nullptr, &size)) return {};
  std::vector<BYTE> bytes(size);
  if (!crypt->encodeObject(X509_ASN_ENCODING, type, value, bytes.data(), &size)) return {};
  bytes.resize(size);
  return bytes;
}

HCERTSTORE OpenMachineStore(const wchar_t* name, bool create = false) {
  return Crypt()->openStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                            CERT_SYSTEM_STORE_LOCAL_MACHINE | (create ? 0 : CERT_STORE_OPEN_EXISTING_FLAG),
                            name);
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

bool SameEncoding(PCCERT_CONTEXT certificate, const std::vector<BYTE>& encoded) {
  return certificate->cbCertEncoded == encoded.size() &&
         memcmp(certificate->pbCertEncoded, encoded.data(), encoded.size()) == 0;
}

// Deletes, from one store, the certificates `pick` chooses.
template <typename Pick>
std::string RemoveFrom(const wchar_t* storeName, Pick pick, int* removed) {
  const Crypt32* crypt = Crypt();
  HCERTSTORE store = OpenMachineStore(storeName);
  if (!store) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return {};
    return "cannot open the " + Narrow(storeName) + " store: " + LastErrorText();
  }
  // Found first, deleted afterwards: deleting while enumerating is not
  // reliable in every implementation of the stores.
  std::vector<PCCERT_CONTEXT> victims;
  PCCERT_CONTEXT found = nullptr;
  while ((found = crypt->enumCertificates(store, found)) != nullptr)
    if (pick(found)) victims.push_back(crypt->duplicate(found));
  std::string failure;
  int deleted = 0;
  for (PCCERT_CONTEXT victim : victims) {
    // CertDeleteCertificateFromStore frees the context it is given.
    if (crypt->deleteFromStore(victim))
      ++deleted;
    else
      failure = "cannot remove the certificate from the " + Narrow(storeName) + " store: " + LastErrorText();
  }
  // Written through at once, whether or not the store would by itself.
  if (deleted) crypt->controlStore(store, CERT_STORE_CTRL_COMMIT_FORCE_FLAG, CERT_STORE_CTRL_COMMIT, nullptr);
  if (removed) *removed += deleted;
  crypt->closeStore(store, 0);
  return failure;
}

}  // namespace

std::string ErrorText(DWORD code) {
  char buffer[512] = {};
  std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(code));
  std::string text = buffer;
  char* message = nullptr;
  if (FormatMessageA(
          FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
          nullptr, code, 0, reinterpret_cast<char*>(&message), 0, nullptr) &&
      message) {
    std::string m = message;
    LocalFree(message);
    while (!m.empty() && (m.back() == '\n' || m.back() == '\r' || m.back() == ' ' || m.back() == '.'))
      m.pop_back();
    text += " (" + m + ")";
  }
  return text;
}

std::string LastErrorText() { return ErrorText(GetLastError()); }

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ThisPcCertificateSubject() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) size = 0;
  return CertificateSubject(std::wstring_view(name, size));
}

std::wstring SubjectText(PCCERT_CONTEXT certificate) {
  wchar_t subject[512] = {};
  Crypt()->nameToStr(kEncoding, &certificate->pCertInfo->Subject, CERT_X500_NAME_STR, subject, 512);
  return subject;
}

std::wstring SignerSubject(const std::wstring& signedFile) {
  const Crypt32* crypt = Crypt();
  if (!crypt) return {};
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!crypt->queryObject(CERT_QUERY_OBJECT_FILE, signedFile.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message,
                          nullptr))
    return {};
  std::wstring subject;
  DWORD size = 0;
  if (crypt->msgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) && size > 0) {
    std::vector<BYTE> buffer(size);
    if (crypt->msgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, buffer.data(), &size)) {
      auto* signer = reinterpret_cast<CERT_INFO*>(buffer.data());
      PCCERT_CONTEXT certificate =
          crypt->findCertificate(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, signer, nullptr);
      if (certificate) {
        subject = SubjectText(certificate);
        crypt->freeCertificate(certificate);
      }
    }
  }
  crypt->msgClose(message);
  crypt->closeStore(store, 0);
  return subject;
}

SigningIdentity::~SigningIdentity() {
  DestroyKey();
  if (certificate_) Crypt()->freeCertificate(certificate_);
}

std::string SigningIdentity::Create(SignatureDigest digest) {
  if (certificate_) return "a certificate was already made";
  const Crypt32* crypt = Crypt();
  if (!crypt) return kNoCrypt32;
  // CRYPT_VERIFYCONTEXT: a provider with no key container; its keys live in
  // this process's memory and end with it.
  if (!CryptAcquireContextW(&provider_, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    provider_ = 0;
    return "cannot open an ephemeral key provider: " + LastErrorText();
  }
  const auto fail = [this](const std::string& what) {
    const std::string why = what + ": " + LastErrorText();
    DestroyKey();
    return why;
  };
  HCRYPTKEY key = 0;
  if (!CryptGenKey(provider_, AT_SIGNATURE, (2048u << 16), &key)) return fail("cannot make an RSA key");
  CryptDestroyKey(key);

  const std::wstring subjectText = ThisPcCertificateSubject();
  BYTE subject[1024];
  DWORD subjectSize = sizeof subject;
  if (!crypt->strToName(X509_ASN_ENCODING, subjectText.c_str(), CERT_X500_NAME_STR, nullptr, subject,
                        &subjectSize, nullptr))
    return fail("cannot encode the certificate's subject");
  CERT_NAME_BLOB subjectBlob{subjectSize, subject};

  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_ENHKEY_USAGE enhancedUsage{1, usage};
  CERT_BASIC_CONSTRAINTS2_INFO constraints{FALSE, FALSE, 0};
  BYTE keyUsageBits = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
  CRYPT_BIT_BLOB keyUsage{1, &keyUsageBits, 7};
  std::vector<BYTE> usageBytes = Encode(X509_ENHANCED_KEY_USAGE, &enhancedUsage);
  std::vector<BYTE> constraintBytes = Encode(X509_BASIC_CONSTRAINTS2, &constraints);
  std::vector<BYTE> keyUsageBytes = Encode(X509_KEY_USAGE, &keyUsage);
  if (usageBytes.empty() || constraintBytes.empty() || keyUsageBytes.empty())
    return fail("cannot encode the certificate's extensions");
  CERT_EXTENSION extension[] = {
      {const_cast<LPSTR>(szOID_BASIC_CONSTRAINTS2),
       TRUE,
       {static_cast<DWORD>(constraintBytes.size()), constraintBytes.data()}},
      {const_cast<LPSTR>(szOID_KEY_USAGE),
       TRUE,
       {static_cast<DWORD>(keyUsageBytes.size()), keyUsageBytes.data()}},
      {const_cast<LPSTR>(szOID_ENHANCED_KEY_USAGE),
       TRUE,
       {static_cast<DWORD>(usageBytes.size()), usageBytes.data()}},
  };
  CERT_EXTENSIONS extensions{3, extension};
  CRYPT_ALGORITHM_IDENTIFIER algorithm{
      const_cast<LPSTR>(digest == SignatureDigest::Sha1 ? szOID_RSA_SHA1RSA : szOID_RSA_SHA256RSA), {}};

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

  certificate_ =
      crypt->createSelfSign(provider_, &subjectBlob, 0, nullptr, &algorithm, &start, &end, &extensions);
  if (!certificate_) return fail("cannot make the certificate");
  // The certificate reaches its key through this process's provider handle
  // only: no container name that anyone could open.
  crypt->setProperty(certificate_, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr);
  CERT_KEY_CONTEXT keyContext{sizeof keyContext, {provider_}, AT_SIGNATURE};
  if (!crypt->setProperty(certificate_, CERT_KEY_CONTEXT_PROP_ID, CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                          &keyContext))
    return fail("cannot give the certificate its key");
  return {};
}

std::string SigningIdentity::DestroyKey() {
  if (!provider_) return {};
  if (certificate_) Crypt()->setProperty(certificate_, CERT_KEY_CONTEXT_PROP_ID, 0, nullptr);
  const bool released = CryptReleaseContext(provider_, 0) != FALSE;
  provider_ = 0;
  return released ? std::string() : "cannot release the key: " + LastErrorText();
}

std::vector<BYTE> SigningIdentity::Encoded() const {
  if (!certificate_) return {};
  return std::vector<BYTE>(certificate_->pbCertEncoded,
                           certificate_->pbCertEncoded + certificate_->cbCertEncoded);
}

std::string TrustOnThisMachine(const std::vector<BYTE>& encoded) {
  if (encoded.empty()) return "no certificate";
  const Crypt32* crypt = Crypt();
  if (!crypt) return kNoCrypt32;
  for (const wchar_t* name : kStores) {
    HCERTSTORE store = OpenMachineStore(name);
    if (!store) store = OpenMachineStore(name, true);
    const bool added = store && crypt->addEncoded(store, X509_ASN_ENCODING, encoded.data(),
                                                  static_cast<DWORD>(encoded.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const std::string why = added ? std::string() : LastErrorText();
    if (store) crypt->closeStore(store, 0);
    if (!added) {
      DistrustOnThisMachine(encoded);
      return "cannot add the certificate to the local machine's " + Narrow(name) + " store: " + why;
    }
  }
  return {};
}

std::string DistrustOnThisMachine(const std::vector<BYTE>& encoded) {
  if (encoded.empty()) return {};
  if (!Crypt()) return kNoCrypt32;
  std::string failure;
  for (const wchar_t* name : kStores) {
    std::string why = RemoveFrom(
        name, [&](PCCERT_CONTEXT c) { return SameEncoding(c, encoded); }, nullptr);
    if (!why.empty()) failure = why;
  }
  return failure;
}

std::string RemoveHelperCertificates(int* removed, const std::vector<BYTE>& keep) {
  if (!Crypt()) return kNoCrypt32;
  std::string failure;
  const auto pick = [&](PCCERT_CONTEXT c) {
    return IsHelperSubject(SubjectText(c)) && !SameEncoding(c, keep);
  };
  for (const wchar_t* name : kStores) {
    std::string why = RemoveFrom(name, pick, removed);
    if (why.empty() && CountHelperCertificates(name) > (keep.empty() ? 0 : 1))
      why = "a certificate is still in the " + Narrow(name) + " store after removing it";
    if (!why.empty()) failure = why;
  }
  return failure;
}

int CountHelperCertificates(const wchar_t* storeName) {
  const Crypt32* crypt = Crypt();
  if (!crypt) return 0;
  HCERTSTORE store = OpenMachineStore(storeName);
  if (!store) return 0;
  int count = 0;
  PCCERT_CONTEXT found = nullptr;
  while ((found = crypt->enumCertificates(store, found)) != nullptr)
    if (IsHelperSubject(SubjectText(found))) ++count;
  crypt->closeStore(store, 0);
  return count;
}

}  // namespace portline_setup
