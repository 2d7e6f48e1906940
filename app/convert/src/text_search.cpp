#include "text_search.h"

#include <algorithm>
#include <bit>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace seamlog::convert::detail {
namespace {

// A keyword that ends a line ("Loss" CR LF): hop from line end to line end and
// look back, instead of comparing at every character.
std::size_t FindLineEnding(std::string_view text, std::size_t from, std::string_view keyword) {
  const std::size_t head = keyword.size() - 2;  // the keyword without its CR LF
  for (std::size_t crlf = FindCrLf(text, from + head); crlf != 0; crlf = FindCrLf(text, crlf + 1)) {
    const std::size_t start = crlf - head;
    if (EqualNoCase(text.substr(start - 1, head), keyword.substr(0, head))) return start;
  }
  return 0;
}

// The bytes of word equal to c, as the top bit of each byte (exact: no carry
// crosses from one byte into the next).
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
constexpr std::uint64_t EqualBytes(std::uint64_t word, unsigned char c) {
  const std::uint64_t y = word ^ (0x0101010101010101ull * c);
  return ~(((y & kLow7) + kLow7) | y | kLow7);
}

std::uint64_t LoadLittleEndian(const char* p) {
  std::uint64_t word = 0;
  for (int k = 7; k >= 0; --k) word = (word << 8) | static_cast<unsigned char>(p[k]);
  return word;
}

// ScanLineEnds, 16 characters a step with SSE2 (when wide) or 8 with 64-bit words.
template <bool kWide>
std::size_t ScanLineEndsIn(std::string_view text, std::size_t separatorFrom, std::size_t keepBelow,
                           std::vector<std::uint32_t>& crlfs) {
  const char* const data = text.data();
  const std::size_t size = text.size();
  const std::size_t hyphens = kHyphenRun.size();
  // The pair whose CR is at q; true when it ends the separator line sought.
  const auto pair = [&](std::size_t q) {
    if (q < keepBelow) crlfs.push_back(static_cast<std::uint32_t>(q));
    return q >= separatorFrom + hyphens && data[q - 1] == '-' &&
           std::memcmp(data + q - hyphens, kHyphenRun.data(), hyphens) == 0;
  };
  std::size_t i = 0;
  if constexpr (kWide) {
#ifdef __SSE2__
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; i + 17 <= size; i += 16) {
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
      auto mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, cr), _mm_cmpeq_epi8(next, lf))));
      for (; mask != 0; mask &= mask - 1) {
        const std::size_t q = i + static_cast<std::size_t>(std::countr_zero(mask));
        if (pair(q)) return q - hyphens;
      }
    }
#endif
  } else {
    for (; i + 9 <= size; i += 8) {
      std::uint64_t mask =
          EqualBytes(LoadLittleEndian(data + i), '\r') & EqualBytes(LoadLittleEndian(data + i + 1), '\n');
      for (; mask != 0; mask &= mask - 1) {
        const std::size_t q = i + static_cast<std::size_t>(std::countr_zero(mask)) / 8;
        if (pair(q)) return q - hyphens;
      }
    }
  }
  for (; i + 1 < size; ++i) {
    if (data[i] == '\r' && data[i + 1] == '\n' && pair(i)) return i - hyphens;
  }
  return size;
}

}  // namespace

std::size_t ScanLineEnds(std::string_view text, std::size_t separatorFrom, std::size_t keepBelow,
                         std::vector<std::uint32_t>& crlfs) {
#ifdef __SSE2__
  return ScanLineEndsIn<true>(text, separatorFrom, keepBelow, crlfs);
#else
  return ScanLineEndsIn<false>(text, separatorFrom, keepBelow, crlfs);
#endif
}

std::size_t ScanLineEndsByWords(std::string_view text, std::size_t separatorFrom, std::size_t keepBelow,
                                std::vector<std::uint32_t>& crlfs) {
  return ScanLineEndsIn<false>(text, separatorFrom, keepBelow, crlfs);
}

std::size_t FindNoCase(std::string_view text, std::size_t from, std::string_view keyword) {
  if (from < 1) from = 1;
  if (keyword.empty() || from > text.size() || keyword.size() > text.size() - (from - 1)) return 0;
  if (keyword.size() > 2 && keyword.ends_with("\r\n")) return FindLineEnding(text, from, keyword);
  // A letter matches either case when bit 5 is set on both sides; any other
  // character only itself. So each keyword character carries its own mask.
  const auto maskOf = [](unsigned char c) -> unsigned char {
    return Fold(c) != c || (c >= 'a' && c <= 'z') ? 0x20 : 0;
  };
  const auto firstKey = static_cast<unsigned char>(keyword[0]);
  const unsigned char firstMask = maskOf(firstKey);
  const unsigned char first = firstKey | firstMask;
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t last = text.size() - keyword.size();
  // True when the keyword's other characters follow the first at i.
  const auto restMatches = [&](std::size_t i) {
    for (std::size_t k = 1; k < keyword.size(); ++k) {
      const auto key = static_cast<unsigned char>(keyword[k]);
      const unsigned char mask = maskOf(key);
      if ((data[i + k] | mask) != (key | mask)) return false;
    }
    return true;
  };
  std::size_t i = from - 1;
#ifdef __SSE2__
  // 16 places a step: the places whose character matches the first.
  const __m128i firstMasks = _mm_set1_epi8(static_cast<char>(firstMask));
  const __m128i firsts = _mm_set1_epi8(static_cast<char>(first));
  for (; i + 16 <= last + 1; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(here, firstMasks), firsts)));
    for (; hits != 0; hits &= hits - 1) {
      const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(hits));
      if (restMatches(at)) return at + 1;
    }
  }
#endif
  for (; i <= last; ++i) {
    if ((data[i] | firstMask) == first && restMatches(i)) return i + 1;
  }
  return 0;
}

std::size_t FindCrLf(std::string_view text, std::size_t from) {
  if (from < 1) from = 1;
  std::size_t i = from - 1;
  while (i + 1 < text.size()) {
    const void* cr = std::memchr(text.data() + i, '\r', text.size() - 1 - i);
    if (cr == nullptr) return 0;
    i = static_cast<std::size_t>(static_cast<const char*>(cr) - text.data());
    if (text[i + 1] == '\n') return i + 1;
    ++i;
  }
  return 0;
}

std::size_t RecordStartIn(std::string_view tail, std::size_t before) {
  const std::size_t hyphens = kHyphenRun.size();
  // Only places before `before` are looked at, but the line may reach past it.
  const std::string_view places = tail.substr(0, std::min(before, tail.size()));
  std::size_t at = places.find('-');
  while (at != std::string_view::npos) {
    const std::size_t room = std::min(kSeparatorLine.size(), tail.size() - at);
    std::size_t k = 1;
    while (k < room && tail[at + k] == kSeparatorLine[k]) ++k;
    if (k == room) return at;
    // A run of hyphens broken before its 31st: no hyphen inside it begins a
    // separator line either, so the search goes on after the break.
    at = places.find('-', k < hyphens ? at + k + 1 : at + 1);
  }
  return tail.size();
}

}  // namespace seamlog::convert::detail
