#pragma once
// Reading a captured splicer report from a file, and making sense of its
// line ends.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace seamlog::tools {

// The most INPUT may hold: the largest text any save can still convert
// (32,767 records of MODEL-C, 21,790,387 characters) and a margin.
inline constexpr std::size_t kMaxInputBytes = 24u * 1024u * 1024u;

// Reads the whole file into text, byte for byte. False with a reason naming
// the file; a file of more than maxBytes is refused at once, and reading from
// a device that never ends stops there too.
bool ReadReceivedFile(const std::string& path, std::string& text, std::string& error,
                      std::size_t maxBytes = kMaxInputBytes);

// The received text of the splicer's raw byte stream: every CR gets an LF
// after it, as the poll cycle does (capture::AppendReceivedBytes).
std::string WithLineFeeds(std::string_view splicerBytes);

// The same, copied to out in one pass; returns how many characters it wrote.
// out has room for twice splicerBytes.size() and 16 more.
std::size_t CopyWithLineFeeds(std::string_view splicerBytes, char* out);

// Received text held in memory that is not cleared before it is written:
// the text of a raw capture is the largest thing a run holds.
class ReceivedText {
 public:
  std::string_view View() const { return {data_.get(), size_}; }
  // Room for n more characters and 16 beyond them, where the next ones go.
  char* Reserve(std::size_t n);
  // The next n characters are written.
  void Add(std::size_t n) { size_ += n; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// How much of a raw capture is read at a time.
inline constexpr std::size_t kRawBlockSize = 256u * 1024u;

// Reads the splicer's raw byte stream and makes its received text in the
// same pass: a block at a time, every CR given its LF as the block is copied
// (as WithLineFeeds). holdsCrLf: the bytes already held a CR LF pair, which
// a raw stream never does. Refusals and limits as ReadReceivedFile.
bool ReadRawCapture(const std::string& path, ReceivedText& text, bool& holdsCrLf, std::string& error,
                    std::size_t maxBytes = kMaxInputBytes);

// How a capture ends its lines. The received text has CR LF; terminal
// programs often store LF alone, and a raw capture has CR alone.
enum class LineEnds {
  CrLf,    // both CRs and LFs: taken as it is
  LfOnly,  // LFs and no CR at all
  CrOnly,  // CRs and no LF at all
  None,    // neither CR nor LF
};
LineEnds DetectLineEnds(std::string_view text);

// The CR LF text that an LF-only or CR-only capture stands for.
std::string WithCrLf(std::string_view text, LineEnds ends);

// The same, made in text itself without a second copy: with CrOnly every CR
// gets an LF after it (as WithLineFeeds), with LfOnly every LF a CR before
// it; any other value leaves text as it is.
void MakeCrLfInPlace(std::string& text, LineEnds ends);

// The line ends of a text that break its CR LF rule: a CR without an LF after
// it, or an LF without a CR before it. One is enough to cut records in the
// wrong places. A CR that ends the text (a capture cut off before its LF) is
// not one of them.
struct StrayLineEnds {
  std::size_t count = 0;
  char first = 0;               // '\r' or '\n'
  std::size_t firstOffset = 0;  // bytes before the first one
  std::size_t firstLine = 0;    // its line, from 1 (lines end in LF)
};
StrayLineEnds FindStrayLineEnds(std::string_view text);

// True when text holds a CR LF pair: a splicer's raw byte stream never does.
bool HoldsCrLf(std::string_view text);

// True for the names Windows keeps for devices (CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, CONIN$, CONOUT$), in any folder and with any
// extension, and for paths in the \\.\ device namespace.
bool IsWindowsDeviceName(std::string_view path);

}  // namespace seamlog::tools
