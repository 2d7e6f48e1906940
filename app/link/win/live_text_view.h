// Keeps a LiveTextControl showing the live view of the received text without
// ever putting the whole text into it again: new characters are appended at
// the end and the head is trimmed so the control holds exactly the live view.
// Updates are coalesced to at most one every kRefreshMs.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <string>

namespace seamlog::link {

class LiveTextView {
 public:
  static constexpr DWORD kRefreshMs = 40;

  void Attach(HWND edit);
  HWND Edit() const { return edit_; }

  // The received text has grown (or been replaced): refresh now if the last
  // refresh is at least kRefreshMs old, otherwise at the next Poll.
  void Changed(const std::string& text);
  // Performs a refresh that Changed put off, once it is due.
  void Poll(const std::string& text);
  // Performs a refresh that Changed put off, now.
  void Flush(const std::string& text) {
    if (pending_) Refresh(text);
  }
  // Brings the control up to date at once.
  void Refresh(const std::string& text);

  // Offsets into the received text of what the control holds.
  std::size_t ShownStart() const { return shownStart_; }
  std::size_t ShownEnd() const { return shownEnd_; }

 private:
  void Replace(const std::string& text);
  void Append(const std::string& text, std::size_t from);
  void TrimHeadTo(std::size_t start);
  std::wstring Visible(const std::string& text, std::size_t from, std::size_t to) const;

  HWND edit_ = nullptr;
  std::size_t shownStart_ = 0;
  std::size_t shownEnd_ = 0;
  bool pending_ = false;
  DWORD lastRefresh_ = 0;  // GetTickCount, which Windows XP has; differences survive its wrap
  std::array<wchar_t, 256> glyphs_{};
};

}  // namespace seamlog::link
