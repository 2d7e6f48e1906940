#pragma once
// Reading a captured splicer report from a file.
#include <string>

namespace seamlog::tools {

// Reads the whole file, byte for byte. False with a reason naming the file.
bool ReadReceivedFile(const std::string& path, std::string& text, std::string& error);

// Puts an LF after every CR, as the poll cycle does with the splicer's bytes.
// Works in place: the text grows once, by the number of CRs.
void AddLineFeedAfterEveryCarriageReturn(std::string& text);

}  // namespace seamlog::tools
