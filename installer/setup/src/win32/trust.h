// The certificate that makes a catalog made on this PC trusted on this PC:
// generated here with a key that exists only in this process's memory (no
// key container, no key file), used for one signature, the key destroyed,
// and the certificate alone added to the local machine's Root and
// TrustedPublisher stores.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <string>
#include <vector>

#include "portline_setup/signing_profile.h"

namespace portline_setup {

class SigningIdentity {
 public:
  SigningIdentity() = default;
  ~SigningIdentity();
  SigningIdentity(const SigningIdentity&) = delete;
  SigningIdentity& operator=(const SigningIdentity&) = delete;

  // A fresh RSA key in an ephemeral (CRYPT_VERIFYCONTEXT) provider and a
  // self-signed certificate for it: basicConstraints cA=FALSE, KeyUsage
  // digitalSignature and EKU code signing, all three critical; the subject
  // names the product and this PC. The certificate reaches the key through
  // CERT_KEY_CONTEXT_PROP_ID only. Empty on success, else the reason.
  std::string Create(SignatureDigest digest);
  // Releases the key: nothing can ever be signed with it again.
  std::string DestroyKey();

  PCCERT_CONTEXT certificate() const { return certificate_; }
  bool hasKey() const { return provider_ != 0; }
  std::vector<BYTE> Encoded() const;

 private:
  PCCERT_CONTEXT certificate_ = nullptr;
  HCRYPTPROV provider_ = 0;
};

// This PC's certificate subject (CertificateSubject for the computer name).
std::wstring ThisPcCertificateSubject();
// The subject of a certificate as CertNameToStrW writes it (X.500).
std::wstring SubjectText(PCCERT_CONTEXT certificate);

// The subject of the certificate that signed a signed file (a catalog), or
// empty when the file is not signed or cannot be read.
std::wstring SignerSubject(const std::wstring& signedFile);

// Adds the certificate (without any key) to LocalMachine Root and
// TrustedPublisher. On failure nothing stays added.
std::string TrustOnThisMachine(const std::vector<BYTE>& encoded);
// Removes the certificate from both stores; absent is not an error.
std::string DistrustOnThisMachine(const std::vector<BYTE>& encoded);
// Removes every certificate made by the helper, except `keep` (may be
// empty), from both stores and says how many it removed.
std::string RemoveHelperCertificates(int* removed, const std::vector<BYTE>& keep = {});
// How many certificates with a helper's subject a LocalMachine store holds.
int CountHelperCertificates(const wchar_t* storeName);

// "0x80090016 (Keyset does not exist)" for the last or a given error.
std::string ErrorText(DWORD code);
std::string LastErrorText();
// True when path names a file (not a folder).
bool FileExists(const std::wstring& path);

}  // namespace portline_setup
