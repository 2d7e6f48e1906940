#pragma once
// Reading a captured splicer report from a file.
#include <string>
#include <string_view>

namespace seamlog::tools {

enum class ByteStream {
  AsReceived,       // the received text itself, byte for byte
  AsSentBySplicer,  // the splicer's bytes: every CR gets an LF after it on reading
};

// Reads the whole file into text, holding it only once in memory.
// False with a reason naming the file.
bool ReadReceivedFile(const std::string& path, ByteStream kind, std::string& text,
                      std::string& error);

// Appends bytes to text, putting an LF after every CR, as the poll cycle does
// with the splicer's bytes.
void AppendAddingLineFeeds(std::string& text, std::string_view bytes);

}  // namespace seamlog::tools
