#include "live_text_control.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "win32util/handles.h"

namespace seamlog::link {
namespace {

class TextBox {
 public:
  explicit TextBox(HWND window) : window_(window) { MeasureFont(); }

  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);

 private:
  void SetText(const wchar_t* text) {
    text_ = text != nullptr ? text : L"";
    Reindex(true);
  }
  // Only the new characters are looked at.
  void Append(const wchar_t* text, std::size_t count) {
    const bool follow = AtEnd();
    const std::size_t from = text_.size();
    text_.append(text, count);
    IndexFrom(from);
    Rescroll(follow);
  }
  // The line starts that fall inside the dropped head go; the others move
  // back by the characters dropped, so the cost follows the lines left (the
  // view holds at most 20,000 characters), never the text ever received.
  void TrimHead(std::size_t count) {
    count = std::min(count, text_.size());
    const bool follow = AtEnd();
    text_.erase(0, count);
    const auto kept = std::upper_bound(lines_.begin(), lines_.end(), count);
    const auto dropped = static_cast<int>(kept - lines_.begin()) - 1;
    lines_.erase(lines_.begin() + 1, kept);
    for (std::size_t i = 1; i < lines_.size(); ++i) lines_[i] -= count;
    top_ = std::max(0, top_ - dropped);
    Rescroll(follow);
  }

  // Line starts: after every CR LF and after every LF not preceded by CR.
  void Reindex(bool follow) {
    lines_.assign(1, 0);
    IndexFrom(0);
    Rescroll(follow);
  }
  void IndexFrom(std::size_t from) {
    for (std::size_t i = from; i < text_.size(); ++i)
      if (text_[i] == L'\n') lines_.push_back(i + 1);
  }
  void Rescroll(bool follow) {
    if (follow) ScrollToEnd();
    top_ = std::clamp(top_, 0, MaxTop());
    UpdateScrollBar();
    InvalidateRect(window_, nullptr, FALSE);
  }

  int VisibleLines() const {
    RECT client;
    GetClientRect(window_, &client);
    return std::max(1, static_cast<int>(client.bottom - client.top) / lineHeight_);
  }
  int MaxTop() const { return std::max(0, static_cast<int>(lines_.size()) - VisibleLines()); }
  bool AtEnd() const { return top_ >= MaxTop(); }
  void ScrollToEnd() { top_ = MaxTop(); }

  void ScrollTo(int top) {
    top = std::clamp(top, 0, MaxTop());
    if (top == top_) return;
    top_ = top;
    UpdateScrollBar();
    InvalidateRect(window_, nullptr, FALSE);
  }

  void UpdateScrollBar() {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMin = 0;
    info.nMax = static_cast<int>(lines_.size()) - 1;
    info.nPage = static_cast<UINT>(VisibleLines());
    info.nPos = top_;
    SetScrollInfo(window_, SB_VERT, &info, TRUE);
  }

  void MeasureFont() {
    win32util::ClientDC dc(window_);
    win32util::SelectedObject font(dc.get(), Font());
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc.get(), &metrics);
    lineHeight_ = std::max(1, static_cast<int>(metrics.tmHeight + metrics.tmExternalLeading));
  }

  HGDIOBJ Font() const { return font_ != nullptr ? font_ : GetStockObject(SYSTEM_FIXED_FONT); }

  void Paint() {
    win32util::PaintDC paint(window_);
    const HDC dc = paint.get();
    RECT client;
    GetClientRect(window_, &client);
    win32util::SelectedObject font(dc, Font());
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    const int margin = 2;
    int y = 0;
    for (std::size_t line = static_cast<std::size_t>(top_); line < lines_.size() && y < client.bottom; ++line) {
      const std::size_t start = lines_[line];
      std::size_t end = line + 1 < lines_.size() ? lines_[line + 1] : text_.size();
      while (end > start && (text_[end - 1] == L'\n' || text_[end - 1] == L'\r')) --end;
      RECT row{client.left, y, client.right, y + lineHeight_};
      ExtTextOutW(dc, client.left + margin, y, ETO_OPAQUE | ETO_CLIPPED, &row, text_.data() + start,
                  static_cast<UINT>(end - start), nullptr);
      y += lineHeight_;
    }
    if (y < client.bottom) {
      RECT rest{client.left, y, client.right, client.bottom};
      FillRect(dc, &rest, GetSysColorBrush(COLOR_WINDOW));
    }
  }

  void OnScroll(WPARAM wparam) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_TRACKPOS;
    GetScrollInfo(window_, SB_VERT, &info);
    switch (LOWORD(wparam)) {
      case SB_LINEUP: ScrollTo(top_ - 1); break;
      case SB_LINEDOWN: ScrollTo(top_ + 1); break;
      case SB_PAGEUP: ScrollTo(top_ - VisibleLines()); break;
      case SB_PAGEDOWN: ScrollTo(top_ + VisibleLines()); break;
      case SB_THUMBTRACK:
      case SB_THUMBPOSITION: ScrollTo(info.nTrackPos); break;
      case SB_TOP: ScrollTo(0); break;
      case SB_BOTTOM: ScrollTo(MaxTop()); break;
      default: break;
    }
  }

  HWND window_;
  std::wstring text_;
  std::vector<std::size_t> lines_{0};
  HFONT font_ = nullptr;
  int lineHeight_ = 16;
  int top_ = 0;
  int wheel_ = 0;
};

LRESULT TextBox::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SETTEXT:
      SetText(reinterpret_cast<const wchar_t*>(lparam));
      return TRUE;
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(text_.size());
    case WM_GETTEXT: {
      if (wparam == 0) return 0;
      const std::size_t n = std::min<std::size_t>(text_.size(), wparam - 1);
      std::memcpy(reinterpret_cast<wchar_t*>(lparam), text_.data(), n * sizeof(wchar_t));
      reinterpret_cast<wchar_t*>(lparam)[n] = L'\0';
      return static_cast<LRESULT>(n);
    }
    case LiveTextControl::kAppendMessage:
      Append(reinterpret_cast<const wchar_t*>(lparam), wparam);
      return 0;
    case LiveTextControl::kTrimHeadMessage:
      TrimHead(wparam);
      return 0;
    case WM_SETFONT:
      font_ = reinterpret_cast<HFONT>(wparam);
      MeasureFont();
      Reindex(AtEnd());
      if (LOWORD(lparam)) InvalidateRect(window_, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(font_);
    case EM_GETLINECOUNT:
      return static_cast<LRESULT>(lines_.size());
    case WM_SIZE: {
      const bool follow = AtEnd();
      if (follow) ScrollToEnd();
      top_ = std::clamp(top_, 0, MaxTop());
      UpdateScrollBar();
      InvalidateRect(window_, nullptr, FALSE);
      return 0;
    }
    case WM_VSCROLL:
      OnScroll(wparam);
      return 0;
    case WM_MOUSEWHEEL: {
      wheel_ += GET_WHEEL_DELTA_WPARAM(wparam);
      const int notches = wheel_ / WHEEL_DELTA;
      wheel_ -= notches * WHEEL_DELTA;
      ScrollTo(top_ - 3 * notches);
      return 0;
    }
    case WM_KEYDOWN:
      switch (wparam) {
        case VK_UP: ScrollTo(top_ - 1); return 0;
        case VK_DOWN: ScrollTo(top_ + 1); return 0;
        case VK_PRIOR: ScrollTo(top_ - VisibleLines()); return 0;
        case VK_NEXT: ScrollTo(top_ + VisibleLines()); return 0;
        case VK_HOME: ScrollTo(0); return 0;
        case VK_END: ScrollTo(MaxTop()); return 0;
        default: break;
      }
      break;
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS;
    case WM_LBUTTONDOWN:
      SetFocus(window_);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // every pixel is painted in WM_PAINT
    case WM_PAINT:
      Paint();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* box = reinterpret_cast<TextBox*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    box = new TextBox(window);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(box));
  }
  if (box == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    delete box;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    if (create->lpszName != nullptr && !IS_INTRESOURCE(create->lpszName)) box->Handle(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(create->lpszName));
    return DefWindowProcW(window, message, wparam, lparam);
  }
  return box->Handle(message, wparam, lparam);
}

}  // namespace

bool LiveTextControl::Register() {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExW(GetModuleHandleW(nullptr), kClassName, &existing)) return true;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = &Procedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = nullptr;
  windowClass.lpszClassName = kClassName;
  return RegisterClassExW(&windowClass) != 0;
}

}  // namespace seamlog::link
