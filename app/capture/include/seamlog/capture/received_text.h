// Turning received bytes into text, and choosing the part of it shown live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace seamlog::capture {

// The live view shows at most this many of the last received characters.
inline constexpr std::size_t kLiveViewLength = 20000;

// Appends bytes to text one character per byte, NUL included; every CR is
// followed by an LF, wherever it falls in the chunk. Returns the number of
// characters appended.
std::size_t AppendReceivedBytes(std::string& text, const std::uint8_t* bytes, std::size_t n);

// Offset in text where the live view begins. Up to kLiveViewLength characters
// the view is the whole text; beyond that it is the last kLiveViewLength
// characters, cut to begin just after the first CR LF among them (when there
// is one). Looks at no more than the tail, however long the text.
std::size_t LiveViewStart(std::string_view text);

}  // namespace seamlog::capture
