#include "portline_setup/signing_profile.h"

namespace portline_setup {
namespace {

constexpr std::wstring_view kSubjectStart = L"CN=Seamlog splicer driver package for ";
constexpr std::wstring_view kSubjectEnd = L", OU=This PC only, O=Portline setup";
constexpr std::wstring_view kEarlierSubject = L"CN=Portline WinUSB driver package (this PC only)";

bool Plain(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' ||
         c == L'_' || c == L'.';
}

}  // namespace

SignatureDigest DigestFor(WindowsVersion version) {
  const bool eightOrLater = version.major > 6 || (version.major == 6 && version.minor >= 2);
  return eightOrLater ? SignatureDigest::Sha256 : SignatureDigest::Sha1;
}

std::wstring CertificateSubject(std::wstring_view computerName) {
  std::wstring name;
  for (wchar_t c : computerName) name += Plain(c) ? c : L'_';
  if (name.empty()) name = L"this PC";
  return std::wstring(kSubjectStart) + name + std::wstring(kSubjectEnd);
}

bool IsHelperSubject(std::wstring_view subject) {
  if (subject == kEarlierSubject) return true;
  if (subject.size() <= kSubjectStart.size() + kSubjectEnd.size()) return false;
  if (subject.substr(0, kSubjectStart.size()) != kSubjectStart) return false;
  if (subject.substr(subject.size() - kSubjectEnd.size()) != kSubjectEnd) return false;
  const std::wstring_view name =
      subject.substr(kSubjectStart.size(), subject.size() - kSubjectStart.size() - kSubjectEnd.size());
  for (wchar_t c : name)
    if (!Plain(c) && c != L' ') return false;
  return true;
}

}  // namespace portline_setup
