// The one home of the text received from the splicer: ReceivedText, the
// model selected for it, and how much of it the running save converts.
// The poll cycle appends to it, Save As converts it and discards what was
// saved, the main window only shows it. Observers hear of every change, so
// a view (or a journal on disk) follows the text without owning it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "seamlog/convert/models.h"

namespace seamlog::capture {

class CaptureObserver {
 public:
  virtual ~CaptureObserver() = default;
  // text has just been appended at the end of ReceivedText.
  virtual void TextAppended(std::string_view text) = 0;
  // The first `length` characters of ReceivedText were removed (saved, or
  // all of it emptied).
  virtual void TextDiscarded(std::size_t length) = 0;
  // A save has put the first `length` characters of ReceivedText safely in
  // its file; they stay in ReceivedText until DiscardConverted, after the
  // operator has been told. A journal forgets them here.
  virtual void TextSaved(std::size_t /*length*/) {}
};

class Capture {
 public:
  explicit Capture(convert::Model model) { SelectModel(model); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // ---- the model state -------------------------------------------------------
  convert::Model ModelIndex() const { return model_->index; }
  std::string_view ModelName() const { return model_->name; }
  std::int16_t RecordTextLength() const { return model_->recordTextLength; }
  // Takes over the model's row of the model table; true when it differs from
  // the model held before.
  bool SelectModel(convert::Model model);

  // ---- the received text -----------------------------------------------------
  // All text received since the last successful save, every CR followed by
  // an LF.
  const std::string& ReceivedText() const { return receivedText_; }
  bool Empty() const { return receivedText_.empty(); }

  // Bytes as the splicer sent them: one character per byte, and an LF after
  // every CR, wherever it falls in the chunk.
  void AppendReceivedBytes(const std::uint8_t* bytes, std::size_t n);
  // Text that is already in received form.
  void AppendText(std::string_view text);
  // Empties the received text.
  void Clear();

  // ---- a save -----------------------------------------------------------------
  // What the save dealt with: the first `length` characters of the text. A
  // record still arriving when the save began, and text appended later, are
  // not part of it.
  void MarkConverted(std::size_t length) { convertedLength_ = std::min(length, receivedText_.size()); }
  std::size_t ConvertedLength() const { return convertedLength_; }
  // The save's file is closed and complete: tells the observers that the
  // converted text is safe, before the operator is told.
  void ConvertedSaved();
  // After a successful save: removes what the save converted. Text that
  // arrived meanwhile stays for the next save.
  void DiscardConverted();

  // ---- observers ---------------------------------------------------------------
  // The observer must outlive the capture or be removed first.
  void AddObserver(CaptureObserver& observer) { observers_.push_back(&observer); }
  void RemoveObserver(CaptureObserver& observer);

 private:
  void Discard(std::size_t length);
  void Appended(std::size_t from);

  const convert::ModelRow* model_ = nullptr;  // a row of the model table
  std::string receivedText_;
  std::size_t convertedLength_ = 0;
  std::vector<CaptureObserver*> observers_;
};

}  // namespace seamlog::capture
