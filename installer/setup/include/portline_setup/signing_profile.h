// What the certificate the helper makes on a PC looks like: its subject,
// which names the product and the PC, and the digest of its signatures.
#pragma once

#include <string>
#include <string_view>

#include "portline_setup/package_choice.h"

namespace portline_setup {

enum class SignatureDigest { Sha1, Sha256 };

// Windows 7 and earlier: SHA-1, because Windows 7 asks the user about a
// "Trusted Publisher" for SHA-256 signatures of a self-signed certificate
// (libwdi found the same). Windows 8 and later: SHA-256.
SignatureDigest DigestFor(WindowsVersion version);

// "CN=Seamlog splicer driver package for BENCH-PC, OU=This PC only, O=Portline setup".
// Characters of the PC's name that an X.500 name would have to quote become '_'.
std::wstring CertificateSubject(std::wstring_view computerName);

// True for a subject CertificateSubject made on any PC, and for the subject
// of the certificates earlier versions of the helper made.
bool IsHelperSubject(std::wstring_view subject);

}  // namespace portline_setup
