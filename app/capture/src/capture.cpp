#include "seamlog/capture/capture.h"

#include <algorithm>
#include <utility>

#include "seamlog/capture/received_text.h"

namespace seamlog::capture {

bool Capture::SelectModel(convert::Model model) {
  const convert::ModelRow* row = &convert::ModelRowOf(model);
  return std::exchange(model_, row) != row;
}

void Capture::AppendReceivedBytes(const std::uint8_t* bytes, std::size_t n) {
  const std::size_t from = receivedText_.size();
  capture::AppendReceivedBytes(receivedText_, bytes, n);
  Appended(from);
}

void Capture::AppendText(std::string_view text) {
  const std::size_t from = receivedText_.size();
  receivedText_.append(text);
  Appended(from);
}

void Capture::Appended(std::size_t from) {
  if (receivedText_.size() == from) return;
  const std::string_view added = std::string_view(receivedText_).substr(from);
  for (CaptureObserver* observer : observers_) observer->TextAppended(added);
}

void Capture::Clear() {
  convertedLength_ = 0;
  Discard(receivedText_.size());
}

void Capture::ConvertedSaved() {
  const std::size_t saved = std::min(convertedLength_, receivedText_.size());
  for (CaptureObserver* observer : observers_) observer->TextSaved(saved);
}

void Capture::DiscardConverted() {
  const std::size_t saved = std::min(convertedLength_, receivedText_.size());
  convertedLength_ = 0;
  Discard(saved);
}

void Capture::Discard(std::size_t length) {
  receivedText_.erase(0, length);
  for (CaptureObserver* observer : observers_) observer->TextDiscarded(length);
}

void Capture::RemoveObserver(CaptureObserver& observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), &observer), observers_.end());
}

}  // namespace seamlog::capture
