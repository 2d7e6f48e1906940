#pragma once
// Reading a captured splicer report from a file, and making sense of its
// line ends.
#include <cstddef>
#include <string>
#include <string_view>

namespace seamlog::tools {

enum class ByteStream {
  AsReceived,       // the received text itself, byte for byte
  AsSentBySplicer,  // the splicer's bytes: every CR gets an LF after it on reading,
                    // as the poll cycle does (capture::AppendReceivedBytes)
};

// The most INPUT may hold: the largest text any save can still convert
// (32,767 records of MODEL-C, 21,790,387 characters) and a margin.
inline constexpr std::size_t kMaxInputBytes = 24u * 1024u * 1024u;

// Reads the whole file into text. False with a reason naming the file; a
// file of more than maxBytes is refused at once, and reading from a device
// that never ends stops there too.
bool ReadReceivedFile(const std::string& path, ByteStream kind, std::string& text,
                      std::string& error, std::size_t maxBytes = kMaxInputBytes);

// How a capture ends its lines. The received text has CR LF; terminal
// programs often store LF alone, and a raw capture has CR alone.
enum class LineEnds {
  CrLf,     // both CRs and LFs: taken as it is
  LfOnly,   // LFs and no CR at all
  CrOnly,   // CRs and no LF at all
  None,     // neither CR nor LF
};
LineEnds DetectLineEnds(std::string_view text);

// The CR LF text that an LF-only or CR-only capture stands for.
std::string WithCrLf(std::string_view text, LineEnds ends);

// True for the names Windows keeps for devices (CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, CONIN$, CONOUT$), in any folder and with any
// extension, and for paths in the \\.\ device namespace.
bool IsWindowsDeviceName(std::string_view path);

}  // namespace seamlog::tools
