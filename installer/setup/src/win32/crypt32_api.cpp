#include "crypt32_api.h"

#include "win32util/system_library.h"

namespace portline_setup {
namespace {

template <typename Fn>
bool Bind(HMODULE module, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return fn != nullptr;
}

}  // namespace

const Crypt32* Crypt() {
  static const Crypt32* const api = []() -> const Crypt32* {
    HMODULE module = win32util::LoadSystemLibrary(L"crypt32.dll");
    if (module == nullptr) return nullptr;
    static Crypt32 loaded;
    const bool complete =
        Bind(module, loaded.openStore, "CertOpenStore") & Bind(module, loaded.closeStore, "CertCloseStore") &
        Bind(module, loaded.enumCertificates, "CertEnumCertificatesInStore") &
        Bind(module, loaded.duplicate, "CertDuplicateCertificateContext") &
        Bind(module, loaded.deleteFromStore, "CertDeleteCertificateFromStore") &
        Bind(module, loaded.controlStore, "CertControlStore") &
        Bind(module, loaded.addEncoded, "CertAddEncodedCertificateToStore") &
        Bind(module, loaded.freeCertificate, "CertFreeCertificateContext") &
        Bind(module, loaded.nameToStr, "CertNameToStrW") & Bind(module, loaded.strToName, "CertStrToNameW") &
        Bind(module, loaded.createSelfSign, "CertCreateSelfSignCertificate") &
        Bind(module, loaded.setProperty, "CertSetCertificateContextProperty") &
        Bind(module, loaded.getProperty, "CertGetCertificateContextProperty") &
        Bind(module, loaded.encodeObject, "CryptEncodeObject") &
        Bind(module, loaded.queryObject, "CryptQueryObject") &
        Bind(module, loaded.msgGetParam, "CryptMsgGetParam") &
        Bind(module, loaded.msgClose, "CryptMsgClose") &
        Bind(module, loaded.findCertificate, "CertFindCertificateInStore");
    return complete ? &loaded : nullptr;
  }();
  return api;
}

}  // namespace portline_setup
