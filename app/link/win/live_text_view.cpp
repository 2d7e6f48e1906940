#include "live_text_view.h"

#include "seamlog/capture/received_text.h"
#include "live_text_control.h"

namespace seamlog::link {

void LiveTextView::Attach(HWND edit) {
  edit_ = edit;
  shownStart_ = shownEnd_ = 0;
  pending_ = false;
  // One character in the control for each received byte, so that offsets in
  // the control and in the received text always match. NUL shows as a dot;
  // ReceivedText itself keeps it.
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    wchar_t w = L'?';
    if (b == 0)
      w = L'.';
    else if (MultiByteToWideChar(CP_ACP, 0, &c, 1, &w, 1) != 1)
      w = L'?';
    glyphs_[static_cast<std::size_t>(b)] = w;
  }
}

std::wstring LiveTextView::Visible(const std::string& text, std::size_t from, std::size_t to) const {
  std::wstring out;
  out.reserve(to - from);
  for (std::size_t i = from; i < to; ++i) out.push_back(glyphs_[static_cast<unsigned char>(text[i])]);
  return out;
}

void LiveTextView::Changed(const std::string& text) {
  pending_ = true;
  Poll(text);
}

void LiveTextView::Poll(const std::string& text) {
  if (!pending_) return;
  if (GetTickCount() - lastRefresh_ < kRefreshMs) return;
  Refresh(text);
}

void LiveTextView::Refresh(const std::string& text) {
  pending_ = false;
  lastRefresh_ = GetTickCount();
  if (edit_ == nullptr) return;
  const std::size_t start = capture::LiveViewStart(text);
  // Anything but growth at the end (the text was emptied by a save, or the
  // control was changed by someone else) puts the view in afresh.
  const auto inControl = static_cast<std::size_t>(GetWindowTextLengthW(edit_));
  if (text.size() < shownEnd_ || inControl != shownEnd_ - shownStart_ || start > shownEnd_) {
    Replace(text);
    return;
  }
  if (text.size() > shownEnd_) Append(text, shownEnd_);
  if (start > shownStart_) TrimHeadTo(start);
}

void LiveTextView::Replace(const std::string& text) {
  const std::size_t start = capture::LiveViewStart(text);
  SetWindowTextW(edit_, Visible(text, start, text.size()).c_str());
  shownStart_ = start;
  shownEnd_ = text.size();
}

void LiveTextView::Append(const std::string& text, std::size_t from) {
  const std::wstring added = Visible(text, from, text.size());
  SendMessageW(edit_, LiveTextControl::kAppendMessage, added.size(), reinterpret_cast<LPARAM>(added.c_str()));
  shownEnd_ = text.size();
}

void LiveTextView::TrimHeadTo(std::size_t start) {
  SendMessageW(edit_, LiveTextControl::kTrimHeadMessage, start - shownStart_, 0);
  shownStart_ = start;
}

}  // namespace seamlog::link
