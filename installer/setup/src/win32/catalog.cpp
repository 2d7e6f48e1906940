#include "catalog.h"

#include <mscat.h>

#include "trust.h"
#include "win32util/handles.h"
#include "win32util/system_library.h"

namespace portline_setup {
namespace {

// The signer structures of mssign32.dll, which no header declares.
struct SignerFileInfo {
  DWORD cbSize;
  LPCWSTR pwszFileName;
  HANDLE hFile;
};
struct SignerSubjectInfo {
  DWORD cbSize;
  DWORD* pdwIndex;
  DWORD dwSubjectChoice;
  SignerFileInfo* pSignerFileInfo;
};
struct SignerCertStoreInfo {
  DWORD cbSize;
  PCCERT_CONTEXT pSigningCert;
  DWORD dwCertPolicy;
  HCERTSTORE hCertStore;
};
struct SignerCert {
  DWORD cbSize;
  DWORD dwCertChoice;
  SignerCertStoreInfo* pCertStoreInfo;
  HWND hwnd;
};
struct SignerAttrAuthcode {
  DWORD cbSize;
  BOOL fCommercial;
  BOOL fIndividual;
  LPCWSTR pwszName;
  LPCWSTR pwszInfo;
};
struct SignerSignatureInfo {
  DWORD cbSize;
  ALG_ID algidHash;
  DWORD dwAttrChoice;
  SignerAttrAuthcode* pAttrAuthcode;
  PCRYPT_ATTRIBUTES psAuthenticated;
  PCRYPT_ATTRIBUTES psUnauthenticated;
};
constexpr DWORD kSignerSubjectFile = 1;
constexpr DWORD kSignerCertStore = 2;
constexpr DWORD kSignerCertPolicyChain = 2;
constexpr DWORD kSignerAuthcodeAttr = 1;

using SignerSignFn = HRESULT(WINAPI*)(SignerSubjectInfo*, SignerCert*, SignerSignatureInfo*, void*, LPCWSTR,
                                      PCRYPT_ATTRIBUTES, void*);
using CdfOpenFn = CRYPTCATCDF*(WINAPI*)(LPWSTR, PFN_CDF_PARSE_ERROR_CALLBACK);
using CdfEnumFn = LPWSTR(WINAPI*)(CRYPTCATCDF*, LPWSTR, PFN_CDF_PARSE_ERROR_CALLBACK, CRYPTCATMEMBER**, BOOL,
                                  LPVOID);
using CdfCloseFn = BOOL(WINAPI*)(CRYPTCATCDF*);

DWORD g_parseError = 0;
void WINAPI OnParseError(DWORD area, DWORD error, WCHAR*) { g_parseError = area ? area : error; }

// A system DLL loaded for a few of its functions, freed at the end of scope.
class Library {
 public:
  explicit Library(const wchar_t* name) : module_(win32util::LoadSystemLibrary(name)) {}
  template <typename Fn>
  Fn Get(const char* name) const {
    return module_ ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)))
                   : nullptr;
  }

 private:
  win32util::Module module_;
};

}  // namespace

std::string MakeCatalog(const std::wstring& definitionPath) {
  Library wintrust(L"wintrust.dll");
  auto open = wintrust.Get<CdfOpenFn>("CryptCATCDFOpen");
  auto enumerate = wintrust.Get<CdfEnumFn>("CryptCATCDFEnumMembersByCDFTagEx");
  auto close = wintrust.Get<CdfCloseFn>("CryptCATCDFClose");
  if (!open || !enumerate || !close) return "this Windows has no catalog functions (wintrust.dll)";

  g_parseError = 0;
  std::wstring path = definitionPath;
  SetLastError(0);
  CRYPTCATCDF* cdf = open(path.data(), OnParseError);
  if (!cdf) {
    const DWORD error = GetLastError();
    return "CryptCATCDFOpen did not open the catalog definition: " +
           (error ? ErrorText(error)
                  : std::string("it gave no reason (a catalog function this Windows lacks)"));
  }
  CRYPTCATMEMBER* member = nullptr;
  LPWSTR tag = nullptr;
  int members = 0;
  while ((tag = enumerate(cdf, tag, OnParseError, &member, FALSE, nullptr)) != nullptr) ++members;
  const DWORD parseError = g_parseError;
  // Closing writes the catalog file.
  if (!close(cdf)) return "the catalog cannot be written: " + LastErrorText();
  if (parseError) return "the catalog definition has an error: " + ErrorText(parseError);
  if (members == 0) return "the catalog lists no file";
  return {};
}

std::string SignCatalog(const std::wstring& catalogPath, PCCERT_CONTEXT certificate, SignatureDigest digest) {
  if (!FileExists(catalogPath)) return "there is no catalog to sign";
  Library mssign(L"mssign32.dll");
  auto sign = mssign.Get<SignerSignFn>("SignerSign");
  if (!sign) return "this Windows cannot sign files (mssign32.dll has no SignerSign)";

  SignerFileInfo file{sizeof(SignerFileInfo), catalogPath.c_str(), nullptr};
  DWORD index = 0;
  SignerSubjectInfo subject{sizeof(SignerSubjectInfo), &index, kSignerSubjectFile, &file};
  SignerCertStoreInfo store{sizeof(SignerCertStoreInfo), certificate, kSignerCertPolicyChain, nullptr};
  SignerCert signer{sizeof(SignerCert), kSignerCertStore, &store, nullptr};
  SignerAttrAuthcode authcode{sizeof(SignerAttrAuthcode), FALSE, TRUE, L"Portline WinUSB driver package",
                              nullptr};
  SignerSignatureInfo signature{
      sizeof(SignerSignatureInfo),
      static_cast<ALG_ID>(digest == SignatureDigest::Sha1 ? CALG_SHA1 : CALG_SHA_256),
      kSignerAuthcodeAttr,
      &authcode,
      nullptr,
      nullptr};
  const HRESULT result = sign(&subject, &signer, &signature, nullptr, nullptr, nullptr, nullptr);
  if (FAILED(result)) return "the catalog cannot be signed: " + ErrorText(static_cast<DWORD>(result));
  return {};
}

}  // namespace portline_setup
