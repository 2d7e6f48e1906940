// The functions of crypt32.dll the helper uses, looked up at run time from
// the system folder. crypt32 is no KnownDLL: imported statically, a
// crypt32.dll beside the elevated helper would be loaded before main().
#pragma once

#include <windows.h>

#include <wincrypt.h>

namespace portline_setup {

struct Crypt32 {
  decltype(&CertOpenStore) openStore = nullptr;
  decltype(&CertCloseStore) closeStore = nullptr;
  decltype(&CertEnumCertificatesInStore) enumCertificates = nullptr;
  decltype(&CertDuplicateCertificateContext) duplicate = nullptr;
  decltype(&CertDeleteCertificateFromStore) deleteFromStore = nullptr;
  decltype(&CertControlStore) controlStore = nullptr;
  decltype(&CertAddEncodedCertificateToStore) addEncoded = nullptr;
  decltype(&CertFreeCertificateContext) freeCertificate = nullptr;
  decltype(&CertNameToStrW) nameToStr = nullptr;
  decltype(&CertStrToNameW) strToName = nullptr;
  decltype(&CertCreateSelfSignCertificate) createSelfSign = nullptr;
  decltype(&CertSetCertificateContextProperty) setProperty = nullptr;
  decltype(&CertGetCertificateContextProperty) getProperty = nullptr;
  decltype(&CryptEncodeObject) encodeObject = nullptr;
  decltype(&CryptQueryObject) queryObject = nullptr;
  decltype(&CryptMsgGetParam) msgGetParam = nullptr;
  decltype(&CryptMsgClose) msgClose = nullptr;
  decltype(&CertFindCertificateInStore) findCertificate = nullptr;
};

// The functions, or null when crypt32.dll or one of them is missing. Loaded
// once and kept for the life of the process.
const Crypt32* Crypt();

}  // namespace portline_setup
