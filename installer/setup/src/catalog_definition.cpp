#include "portline_setup/catalog_definition.h"

namespace portline_setup {
namespace {

bool Writable(const std::string& text) {
  return !text.empty() && text.find_first_of("=\r\n") == std::string::npos;
}

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

const char* WindowsSevenAndLaterOsAttribute() { return "2:6.1,2:6.2,2:6.3,2:10.0"; }

std::optional<std::string> CatalogDefinitionText(const CatalogDefinition& d) {
  if (!Writable(d.catalogName) || !Writable(d.resultDirectory) || d.members.empty()) return std::nullopt;
  if (d.osAttribute.find_first_of("\r\n") != std::string::npos) return std::nullopt;
  std::string text = "[CatalogHeader]\r\n";
  text += "Name=" + d.catalogName + "\r\n";
  text += "ResultDir=" + d.resultDirectory + "\r\n";
  text += "PublicVersion=0x00000001\r\n";
  text += "EncodingType=0x00010001\r\n";  // X509_ASN_ENCODING | PKCS_7_ASN_ENCODING
  // Authenticated name-value attribute, text value.
  if (!d.osAttribute.empty()) text += "CATATTR1=0x10010001:OSAttr:" + d.osAttribute + "\r\n";
  text += "\r\n[CatalogFiles]\r\n";
  for (const std::string& member : d.members) {
    if (!Writable(member) || FileName(member).empty()) return std::nullopt;
    // <HASH>: the member is known by its hash, as drivers' catalogs are.
    text += "<HASH>" + FileName(member) + "=" + member + "\r\n";
  }
  return text;
}

}  // namespace portline_setup
