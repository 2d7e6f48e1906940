#include "received_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "seamlog/capture/received_text.h"
#include "seamlog/save/error_text.h"

namespace seamlog::tools {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string TooLarge(const std::string& path, std::size_t maxBytes) {
  return "'" + path + "' is larger than " + std::to_string(maxBytes) +
         " bytes, the most INPUT may hold: no save can take more than 32,767 records "
         "(21,790,387 characters of MODEL-C text)";
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Readies the n bytes at p, about to be written for the first time, so that
// they do not cost a page fault for every 4 KiB: where the system allows it
// (Linux with transparent huge pages on "madvise"), whole 2 MiB stretches
// get 2 MiB pages, and the small pages around them are mapped in one call.
// No memory beyond the n bytes is taken. Elsewhere, and where the system
// refuses, nothing changes but the speed.
// True when one of the eight bytes of word is c (exact: a borrow from one
// byte into the next only happens after a byte that is c).
constexpr bool HoldsByte(std::uint64_t word, unsigned char c) {
  const std::uint64_t y = word ^ (0x0101010101010101ull * c);
  return ((y - 0x0101010101010101ull) & ~y & 0x8080808080808080ull) != 0;
}

#ifdef __SSE2__
// The sixteen byte counters of sums added up.
std::size_t SumOfBytes(__m128i sums) {
  const __m128i total = _mm_sad_epu8(sums, _mm_setzero_si128());
  return static_cast<std::size_t>(_mm_cvtsi128_si32(total)) +
         static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
}
#endif

// How many bytes of text are c: sixteen at a time where SSE2 is there.
std::size_t CountByte(std::string_view text, char c) {
  const char* const data = text.data();
  std::size_t count = 0;
  std::size_t at = 0;
#ifdef __SSE2__
  const __m128i wanted = _mm_set1_epi8(c);
  while (at + 16 <= text.size()) {
    // Each byte of the sum counts at most 255 steps before it is added up.
    const std::size_t steps = std::min<std::size_t>((text.size() - at) / 16, 255);
    __m128i sums = _mm_setzero_si128();
    for (std::size_t step = 0; step < steps; ++step, at += 16)
      sums = _mm_sub_epi8(sums, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)), wanted));
    count += SumOfBytes(sums);
  }
#endif
  return count + static_cast<std::size_t>(std::count(data + at, data + text.size(), c));
}

void PrepareForWriting(char* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = 2u * 1024u * 1024u;
  const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t end = begin + n;
  const std::uintptr_t hugeBegin = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t hugeEnd = end & ~(kHuge - 1);
  const auto populate = [pageSize](std::uintptr_t from, std::uintptr_t to) {
#ifdef MADV_POPULATE_WRITE
    from = (from + pageSize - 1) & ~(pageSize - 1);  // a page p shares with what lies before it is left alone
    to &= ~(pageSize - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)from, (void)to, (void)pageSize;
#endif
  };
  if (hugeEnd > hugeBegin) {
    ::madvise(reinterpret_cast<void*>(hugeBegin), hugeEnd - hugeBegin, MADV_HUGEPAGE);
    populate(begin, hugeBegin);
    populate(hugeEnd, end);
  } else {
    populate(begin, end);
  }
#else
  (void)p, (void)n;
#endif
}

// INPUT opened for reading, unbuffered; size holds its size where the system
// knows it (a regular file), else 0 with sizeKnown false. Null with a reason
// naming the file for a directory, a file larger than maxBytes or one that
// cannot be opened.
File OpenInput(const std::string& path, std::size_t maxBytes, std::size_t& size, bool& sizeKnown,
               std::string& error) {
  std::error_code status;
  if (std::filesystem::is_directory(path, status)) {
    error = "cannot read '" + path + "': it is a directory";
    return nullptr;
  }
  const auto fileSize = std::filesystem::file_size(path, status);
  sizeKnown = !status;
  size = sizeKnown ? static_cast<std::size_t>(std::min<std::uintmax_t>(fileSize, maxBytes + 1)) : 0;
  if (sizeKnown && fileSize > maxBytes) {
    error = TooLarge(path, maxBytes);
    return nullptr;
  }
  errno = 0;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = "cannot open '" + path + "': " + save::DescribeErrno(errno);
    return nullptr;
  }
  std::setvbuf(file.get(), nullptr, _IONBF, 0);  // read straight into the text, not through a buffer
  return file;
}

}  // namespace

bool ReadReceivedFile(const std::string& path, std::string& text, std::string& error, std::size_t maxBytes) {
  std::size_t size = 0;
  bool sizeKnown = false;
  const File file = OpenInput(path, maxBytes, size, sizeKnown, error);
  if (!file) return false;
  const bool unknown = !sizeKnown;

  // A file of known size is read in one go into a text sized once, with room
  // for every line end to gain a character (see MakeCrLfInPlace); pages never
  // written to take no memory. A file that grows while it is read, a FIFO or
  // a device is read on in steps that double, up to maxBytes and no further.
  std::string bytes;
  std::size_t want = unknown ? kBlockSize : size + 1;
  bytes.reserve(unknown ? kBlockSize : 2 * size + 1);
  if (!unknown) PrepareForWriting(bytes.data(), want);
  std::size_t have = 0;
  for (;;) {
    want = std::min(want, maxBytes + 1 - have);
    bytes.resize(have + want);
    const std::size_t got = std::fread(bytes.data() + have, 1, want, file.get());
    have += got;
    if (have > maxBytes) {
      error = TooLarge(path, maxBytes);
      return false;
    }
    if (got < want) break;
    want = std::max(have, kBlockSize);
  }
  bytes.resize(have);
  if (std::ferror(file.get()) != 0) {
    error = "cannot read '" + path + "': " + save::DescribeErrno(errno);
    return false;
  }
  text = std::move(bytes);
  return true;
}

std::size_t CopyWithLineFeeds(std::string_view splicerBytes, char* out) {
  const char* const in = splicerBytes.data();
  const std::size_t n = splicerBytes.size();
  std::size_t from = 0;
  std::size_t to = 0;
#ifdef __SSE2__
  // Sixteen at a time. A block with no CR is copied whole; one with a single
  // CR is copied twice, the second time from just after the CR to just
  // after its LF, so that neither needs a branch on where the CR lies. A
  // block with more CRs is good up to its first, and the next step begins
  // after that CR's LF. What is written past the end of a step is written
  // again, right, by the steps after it; out's spare characters take what
  // lies beyond the last.
  const __m128i cr = _mm_set1_epi8('\r');
  while (from + 33 <= n) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + from));
    const auto marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, cr)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + to), block);
    if ((marks & (marks - 1)) != 0) {
      const auto at = static_cast<std::size_t>(std::countr_zero(marks));
      out[to + at + 1] = '\n';
      from += at + 1;
      to += at + 2;
      continue;
    }
    const auto at = static_cast<std::size_t>(std::countr_zero(marks | 0x10000u));  // 16: no CR
    out[to + at + 1] = '\n';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + to + at + 2),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + from + at + 1)));
    from += 16;
    to += marks != 0 ? 17 : 16;
  }
#endif
  for (; from < n; ++from) {
    out[to++] = in[from];
    if (in[from] == '\r') out[to++] = '\n';
  }
  return to;
}

char* ReceivedText::Reserve(std::size_t n) {
  constexpr std::size_t kSpare = 16;
  if (capacity_ - size_ < n + kSpare) {
    const std::size_t capacity = std::max(2 * capacity_, size_ + n + kSpare);
    std::unique_ptr<char[]> data(new char[capacity]);  // not cleared: written before it is read
    if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }
  return data_.get() + size_;
}

bool ReadRawCapture(const std::string& path, ReceivedText& text, bool& holdsCrLf, std::string& error,
                    std::size_t maxBytes) {
  std::size_t size = 0;
  bool sizeKnown = false;
  const File file = OpenInput(path, maxBytes, size, sizeKnown, error);
  if (!file) return false;
  // A block that stays in the cache while its CRs get their LFs. The text
  // has room for every byte to be a CR; pages never written to take no
  // memory.
  const std::unique_ptr<char[]> block(new char[kRawBlockSize]);
  ReceivedText made;
  if (sizeKnown) PrepareForWriting(made.Reserve(2 * size), size);
  holdsCrLf = false;
  bool crLast = false;
  std::size_t have = 0;
  for (;;) {
    const std::size_t want = std::min(kRawBlockSize, maxBytes + 1 - have);
    const std::size_t got = std::fread(block.get(), 1, want, file.get());
    have += got;
    if (have > maxBytes) {
      error = TooLarge(path, maxBytes);
      return false;
    }
    if (got > 0) {
      const std::string_view bytes(block.get(), got);
      if (!holdsCrLf) holdsCrLf = (crLast && bytes.front() == '\n') || HoldsCrLf(bytes);
      crLast = bytes.back() == '\r';
      made.Add(CopyWithLineFeeds(bytes, made.Reserve(2 * got)));
    }
    if (got < want) break;
  }
  if (std::ferror(file.get()) != 0) {
    error = "cannot read '" + path + "': " + save::DescribeErrno(errno);
    return false;
  }
  text = std::move(made);
  return true;
}

std::string WithLineFeeds(std::string_view splicerBytes) {
  std::string text;
  text.reserve(splicerBytes.size() +
               CountByte(splicerBytes, '\r'));
  capture::AppendReceivedBytes(text, reinterpret_cast<const std::uint8_t*>(splicerBytes.data()),
                               splicerBytes.size());
  return text;
}

void MakeCrLfInPlace(std::string& text, LineEnds ends) {
  if (ends != LineEnds::CrOnly && ends != LineEnds::LfOnly) return;
  const char end = ends == LineEnds::CrOnly ? '\r' : '\n';
  const std::size_t size = text.size();
  const std::size_t lineEnds = CountByte(text, end);
  if (lineEnds == 0) return;
  if (text.capacity() >= size + lineEnds) PrepareForWriting(text.data() + size, lineEnds);
  text.resize(size + lineEnds);
  // From the back, so that every byte moves once and nothing is overwritten
  // before it has moved; eight at a time while they hold no line end. Once
  // every line end has its second character, what lies before is in place.
  char* const data = text.data();
  std::size_t to = size + lineEnds;
  std::size_t from = size;
#ifdef __SSE2__
  const __m128i ends16 = _mm_set1_epi8(end);
#endif
  while (from > 0 && to != from) {
#ifdef __SSE2__
    // Sixteen at a time: those with no line end move whole; of the others,
    // the characters after the last line end move in one go.
    while (from >= 16 && to != from) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from - 16));
      const auto marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, ends16)));
      if (marks == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data + to - 16), block);  // read first: may overlap
        from -= 16;
        to -= 16;
        continue;
      }
      const std::size_t after = 15 - static_cast<std::size_t>(std::bit_width(marks) - 1);
      std::memmove(data + to - after, data + from - after, after);
      from -= after + 1;
      to -= after;
      data[--to] = '\n';
      data[--to] = '\r';
    }
    if (to == from) break;
#endif
    while (from >= 8) {
      std::uint64_t word;
      std::memcpy(&word, data + from - 8, sizeof word);
      if (HoldsByte(word, static_cast<unsigned char>(end))) break;
      std::memcpy(data + to - 8, &word, sizeof word);  // may overlap what it was read from: read first
      from -= 8;
      to -= 8;
    }
    const char c = data[--from];
    if (c == end) {
      data[--to] = '\n';
      data[--to] = '\r';
    } else {
      data[--to] = c;
    }
  }
}

LineEnds DetectLineEnds(std::string_view text) {
  const bool hasCr = text.find('\r') != std::string_view::npos;
  const bool hasLf = text.find('\n') != std::string_view::npos;
  if (hasCr && hasLf) return LineEnds::CrLf;
  if (hasLf) return LineEnds::LfOnly;
  if (hasCr) return LineEnds::CrOnly;
  return LineEnds::None;
}

std::string WithCrLf(std::string_view text, LineEnds ends) {
  // CR alone is how the splicer ends its lines: the capture's own rule.
  if (ends == LineEnds::CrOnly) return WithLineFeeds(text);
  if (ends != LineEnds::LfOnly) return std::string(text);
  std::string result;
  result.reserve(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
  for (const char c : text) {
    if (c == '\n') {
      result.append("\r\n");
    } else {
      result.push_back(c);
    }
  }
  return result;
}

namespace {

// The bytes of word equal to c, as the top bit of each byte (exact: no carry
// crosses from one byte into the next).
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
constexpr std::uint64_t EqualBytes(std::uint64_t word, unsigned char c) {
  const std::uint64_t y = word ^ (0x0101010101010101ull * c);
  return ~(((y & kLow7) + kLow7) | y | kLow7);
}

// How many bytes a mask of EqualBytes marks.
constexpr std::size_t MarkedBytes(std::uint64_t mask) {
  return static_cast<std::size_t>(((mask >> 7) * 0x0101010101010101ull) >> 56);
}

// Counts the line ends that break the CR LF rule. Each place but the last
// is judged with the one after it: a CR wants an LF after it, and that LF a
// CR before it, so the place breaks the rule when exactly one of the two
// holds. An LF first in the text has nothing before it; a CR last is cut
// off before its LF and not counted. Sixteen places a step where SSE2 is
// there, eight elsewhere. FindStrayLineEnds then looks for the first one
// a place at a time, only when there is one.
std::size_t CountStrayLineEnds(std::string_view text) {
  static_assert(std::endian::native == std::endian::little);
  const char* const data = text.data();
  const std::size_t size = text.size();
  if (size == 0) return 0;
  std::size_t count = data[0] == '\n' ? 1 : 0;
  const std::size_t places = size - 1;  // each with a place after it
  std::size_t p = 0;
#ifdef __SSE2__
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (p + 16 <= places) {
    // Each byte of the sum counts at most 255 steps before it is added up.
    const std::size_t steps = std::min<std::size_t>((places - p) / 16, 255);
    __m128i sums = _mm_setzero_si128();
    for (std::size_t step = 0; step < steps; ++step, p += 16) {
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 1));
      sums = _mm_sub_epi8(sums, _mm_xor_si128(_mm_cmpeq_epi8(here, cr), _mm_cmpeq_epi8(next, lf)));
    }
    count += SumOfBytes(sums);
  }
#endif
  for (; p + 8 <= places; p += 8) {
    std::uint64_t here;
    std::uint64_t next;
    std::memcpy(&here, data + p, sizeof here);
    std::memcpy(&next, data + p + 1, sizeof next);
    count += MarkedBytes(EqualBytes(here, '\r') ^ EqualBytes(next, '\n'));
  }
  for (; p < places; ++p) count += (data[p] == '\r') != (data[p + 1] == '\n') ? 1 : 0;
  return count;
}

}  // namespace

StrayLineEnds FindStrayLineEnds(std::string_view text) {
  StrayLineEnds stray;
  stray.count = CountStrayLineEnds(text);
  if (stray.count == 0) return stray;
  std::size_t line = 1;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const bool lone = (c == '\r' && at + 1 < text.size() && text[at + 1] != '\n') ||
                      (c == '\n' && (at == 0 || text[at - 1] != '\r'));
    if (lone) {
      stray.first = c;
      stray.firstOffset = at;
      stray.firstLine = line;
      break;
    }
    if (c == '\n') ++line;
  }
  return stray;
}

// Sixteen characters a step with SSE2, eight without: a raw stream has a CR
// every line, and looking for the pair from each CR on would take a call per
// line.
bool HoldsCrLf(std::string_view text) {
  const char* const data = text.data();
  const std::size_t size = text.size();
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; i + 17 <= size; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
    if (_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, cr), _mm_cmpeq_epi8(next, lf))) != 0) return true;
  }
#endif
  for (; i + 9 <= size; i += 8) {
    std::uint64_t here;
    std::uint64_t next;
    std::memcpy(&here, data + i, sizeof here);
    std::memcpy(&next, data + i + 1, sizeof next);
    if ((EqualBytes(here, '\r') & EqualBytes(next, '\n')) != 0) return true;
  }
  for (; i + 1 < size; ++i) {
    if (data[i] == '\r' && data[i + 1] == '\n') return true;
  }
  return false;
}

bool IsWindowsDeviceName(std::string_view path) {
  if (path.starts_with("\\\\.\\") || path.starts_with("//./")) return true;
  if (path.ends_with(':')) path.remove_suffix(1);  // "NUL:"
  const std::size_t slash = path.find_last_of("\\/:");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  std::string upper;
  for (const char c : name) upper.push_back(Upper(c));
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (upper == device) return true;
  return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
         upper[3] <= '9';
}

}  // namespace seamlog::tools
