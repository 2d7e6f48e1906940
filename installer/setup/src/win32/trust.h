// The certificate that makes a catalog made on this PC trusted on this PC:
// generated here, used for one signature, its private key destroyed at once,
// the certificate alone added to the local machine's Root and
// TrustedPublisher stores.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace portline_setup {

// The subject of every certificate the helper makes; uninstall removes
// every certificate with this subject from the two stores.
extern const wchar_t kCertificateSubject[];

class SigningIdentity {
 public:
  SigningIdentity() = default;
  ~SigningIdentity();
  SigningIdentity(const SigningIdentity&) = delete;
  SigningIdentity& operator=(const SigningIdentity&) = delete;

  // A fresh RSA key in a key container of its own and a self-signed
  // code-signing certificate for it. Empty on success, else the reason.
  std::string Create();
  // Deletes the key container: nothing can ever be signed with the key again.
  std::string DestroyKey();

  PCCERT_CONTEXT certificate() const { return certificate_; }
  const std::wstring& container() const { return container_; }
  bool hasKey() const { return !container_.empty(); }
  std::vector<BYTE> Encoded() const;

 private:
  PCCERT_CONTEXT certificate_ = nullptr;
  std::wstring container_;
};

// Adds the certificate (without any key) to LocalMachine Root and
// TrustedPublisher. On failure nothing stays added.
std::string TrustOnThisMachine(const std::vector<BYTE>& encoded);
// Removes the certificate from both stores; absent is not an error.
std::string DistrustOnThisMachine(const std::vector<BYTE>& encoded);
// Removes every certificate made by the helper from both stores and says
// how many it removed.
std::string RemoveHelperCertificates(int* removed);
// How many certificates with the helper's subject a LocalMachine store holds.
int CountHelperCertificates(const wchar_t* storeName);

// "0x80090016 (Keyset does not exist)" for the last or a given error.
std::string ErrorText(DWORD code);
std::string LastErrorText();
// True when path names a file (not a folder).
bool FileExists(const std::wstring& path);

}  // namespace portline_setup
