#include "seamlog/report/table_reader.h"

#include <array>
#include <string>
#include <vector>

namespace seamlog::report {

namespace {

struct LayoutRow {
  Model model;
  std::string_view header;
  std::string_view units;
  std::size_t firstRowFields;  // fields of a record's first row, the empty one after the last comma included
  int maxFiberRows;
};

constexpr std::array<LayoutRow, 3> kLayouts{{
    {Model::A,
     "No.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc Count,Estimation Loss,"
     "Align Method,Fiber,Date,Time,Memo",
     ",deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,", 15, 1},
    {Model::B, "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time",
     ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,", 13, 4},
    {Model::C, "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time,Memo",
     ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,", 14, 12},
}};

// Fiber rows after the first: the second has the eighth column and Irregular.
constexpr std::size_t kSecondRowFields = 10;
constexpr std::size_t kLaterRowFields = 8;
constexpr std::size_t kLossField = 6;  // MODEL-B and MODEL-C rows
constexpr std::size_t kLossFieldA = 9;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A header or units row compared without the commas and blanks a spreadsheet
// may have added at its end.
std::string_view WithoutTrailingCommas(std::string_view s) {
  while (!s.empty() && (s.back() == ',' || s.back() == ' ')) s.remove_suffix(1);
  return s;
}

bool IsEmptyRow(std::string_view line) {
  for (char c : line) {
    if (c != ',' && c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = line.find(',', start);
    if (comma == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, comma - start));
    start = comma + 1;
  }
}

std::string_view FieldAt(const std::vector<std::string_view>& fields, std::size_t i) {
  return i < fields.size() ? fields[i] : std::string_view{};
}

std::optional<Decimal> ValueAt(const std::vector<std::string_view>& fields, std::size_t i) {
  return ParseDecimal(FieldAt(fields, i));
}

std::string TextAt(const std::vector<std::string_view>& fields, std::size_t i) {
  return std::string(Trim(FieldAt(fields, i)));
}

// Fields first to last joined by the commas that split them apart.
std::string Joined(const std::vector<std::string_view>& fields, std::size_t first, std::size_t last) {
  std::string text;
  for (std::size_t i = first; i <= last && i < fields.size(); ++i) {
    if (i > first) text += ',';
    text += fields[i];
  }
  return std::string(Trim(text));
}

std::optional<int> WholeNumber(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "2028/05/12": the date of a MODEL-C row.
bool LooksLikeDateC(std::string_view field) {
  if (field.size() != 10 || field[4] != '/' || field[7] != '/') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (field[i] < '0' || field[i] > '9') return false;
  }
  return true;
}

std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  std::string shown(text.substr(0, kShown));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return "\"" + shown + (text.size() > kShown ? "...\"" : "\"");
}

std::string ModelName(Model model) { return std::string(convert::ModelRowOf(model).name); }

class FileReader {
 public:
  FileReader(std::string_view source, TableReading& reading) : source_(source), reading_(reading) {}

  void Read(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ++lineNumber_;
      Take(line);
      start = next;
    }
    Finish();
  }

 private:
  void Problem(int line, std::string message) {
    ++problemCount_;
    if (problemCount_ > kMaxProblemsPerFile) return;
    reading_.problems.push_back({source_, line, std::move(message)});
  }

  void Take(std::string_view line) {
    if (IsEmptyRow(line)) {
      EndStray(false);
      ++emptyRun_;
      fiberRowsOpen_ = false;
      // MODEL-A records follow one another without empty rows: an empty row
      // ends the table.
      if (layout_ != nullptr && layout_->model == Model::A && !expectUnits_) layout_ = nullptr;
      return;
    }
    const int emptyBefore = emptyRun_;
    emptyRun_ = 0;
    contentSeen_ = true;
    if (const LayoutRow* layout = KnownHeader(line)) {
      StartTable(*layout, emptyBefore);
      return;
    }
    if (Trim(FieldAt(SplitFields(line), 0)) == "No.") {
      EndStray(false);
      layout_ = nullptr;
      unknownTable_ = true;
      unknownHeaderSeen_ = true;
      fiberRowsOpen_ = false;
      Problem(lineNumber_, "the header row of a table layout that is not MODEL-A, MODEL-B or MODEL-C " +
                               Quoted(line) + "; its rows are skipped");
      return;
    }
    if (unknownTable_) return;
    if (layout_ == nullptr) {
      NoteStray();
      return;
    }
    if (line.find(',') == std::string_view::npos) {
      fiberRowsOpen_ = false;
      Problem(lineNumber_,
              "not a row of the " + ModelName(layout_->model) + " table (no comma in it); skipped");
      return;
    }
    if (expectUnits_) {
      expectUnits_ = false;
      if (WithoutTrailingCommas(line) == WithoutTrailingCommas(layout_->units)) return;
      Problem(lineNumber_, "the units row of the " + ModelName(layout_->model) +
                               " table is missing; the row is read as a record row");
    } else if (WithoutTrailingCommas(line) == WithoutTrailingCommas(layout_->units)) {
      return;  // a table without records may end with its units row a second time
    }
    if (layout_->model == Model::A) {
      TakeRowA(line);
    } else {
      TakeRowBC(line);
    }
  }

  const LayoutRow* KnownHeader(std::string_view line) const {
    const std::string_view header = WithoutTrailingCommas(line);
    for (const LayoutRow& layout : kLayouts) {
      if (header == layout.header) return &layout;
    }
    return nullptr;
  }

  void StartTable(const LayoutRow& layout, int emptyBefore) {
    EndStray(false);
    if (emptyBefore < 2) {
      Problem(lineNumber_, "the " + ModelName(layout.model) +
                               " header row is not preceded by the two empty rows that begin a "
                               "table; read all the same");
    }
    layout_ = &layout;
    unknownTable_ = false;
    expectUnits_ = true;
    fiberRowsOpen_ = false;
    ++reading_.tables;
    ++tablesHere_;
  }

  void NoteStray() {
    if (strayFirst_ == 0) strayFirst_ = lineNumber_;
    strayLast_ = lineNumber_;
  }

  // atEnd: the file ended; when it held no table at all, that is said once instead.
  void EndStray(bool atEnd) {
    if (strayFirst_ == 0) return;
    if (!atEnd || tablesHere_ > 0 || unknownHeaderSeen_) {
      if (strayFirst_ == strayLast_) {
        Problem(strayFirst_, "a row outside any table (no header row before it); skipped");
      } else {
        Problem(strayFirst_, "rows " + std::to_string(strayFirst_) + " to " + std::to_string(strayLast_) +
                                 " lie outside any table (no header row before them); skipped");
      }
    }
    strayFirst_ = strayLast_ = 0;
  }

  void Finish() {
    EndStray(true);
    if (tablesHere_ == 0 && !unknownHeaderSeen_) {
      if (contentSeen_) {
        Problem(1, "not a Seamlog table: no header row of MODEL-A, MODEL-B or MODEL-C; skipped");
      } else {
        Problem(0, "holds no table: the file is empty");
      }
    }
    if (problemCount_ > kMaxProblemsPerFile) {
      reading_.problems.push_back(
          {source_, 0, std::to_string(problemCount_ - kMaxProblemsPerFile) + " more problems not listed"});
    }
  }

  void TakeRowA(std::string_view line) {
    fiberRowsOpen_ = false;
    const std::vector<std::string_view> f = SplitFields(line);
    const bool endsInComma = f.back().empty();
    const bool fiberRowBC = f[0].empty() && endsInComma;
    const bool firstRowBC =
        endsInComma && (f.size() == kLayouts[1].firstRowFields || f.size() == kLayouts[2].firstRowFields);
    if (fiberRowBC || firstRowBC) {
      Problem(lineNumber_, "a MODEL-B or MODEL-C row in a MODEL-A table (a mixed file); skipped");
      return;
    }
    if (f.size() < layout_->firstRowFields) {
      Problem(lineNumber_, "a truncated MODEL-A row: " + std::to_string(f.size()) +
                               " of 15 fields; read as far as it goes");
    }
    SpliceRecord& record = NewRecord(f[0]);
    FiberRow fiber;
    fiber.line = lineNumber_;
    fiber.cutLeft = ValueAt(f, 1);
    fiber.cutRight = ValueAt(f, 2);
    fiber.offset = ValueAt(f, 3);
    fiber.coreOffset = ValueAt(f, 7);
    fiber.estimatedLoss = ValueAt(f, kLossFieldA);
    fiber.lossText = TextAt(f, kLossFieldA);
    record.fibers.push_back(std::move(fiber));
    record.fiberType = TextAt(f, 11);
    record.date = TextAt(f, 12);
    record.time = TextAt(f, 13);
    record.memo = Joined(f, 14, f.size() - 1);  // a memo may hold commas
  }

  void TakeRowBC(std::string_view line) {
    const std::vector<std::string_view> f = SplitFields(line);
    const std::string model = ModelName(layout_->model);
    const bool endsInComma = f.back().empty();
    const std::size_t fields = endsInComma ? f.size() - 1 : f.size();
    if (!endsInComma && f.size() >= kLayouts[0].firstRowFields) {
      fiberRowsOpen_ = false;
      Problem(lineNumber_, "a MODEL-A row in a " + model + " table (a mixed file); skipped");
      return;
    }
    if (!f[0].empty()) {
      TakeFirstRowBC(f, fields, model);
      return;
    }
    if (!fiberRowsOpen_) {
      if (!IsFillerRow(f)) Problem(lineNumber_, "a fiber row without the first row of its record; skipped");
      return;
    }
    ++rowInRecord_;
    if (rowInRecord_ > layout_->maxFiberRows) {
      fiberRowsOpen_ = false;
      Problem(lineNumber_, "more fiber rows than a " + model + " record holds (" +
                               std::to_string(layout_->maxFiberRows) + "); skipped");
      return;
    }
    if (IsFillerRow(f)) return;
    const std::size_t expected = rowInRecord_ == 2 ? kSecondRowFields : kLaterRowFields;
    if (f.size() < expected) {
      Problem(lineNumber_, "a truncated " + model + " fiber row: " + std::to_string(fields) + " of " +
                               std::to_string(expected - 1) + " fields; read as far as it goes");
    }
    reading_.records.back().fibers.push_back(FiberOf(f));
  }

  // The row of a single-fiber MODEL-C record that carries only the eighth
  // column and Irregular, and the blank fiber lines of MODEL-B: no fiber.
  static bool IsFillerRow(const std::vector<std::string_view>& f) {
    for (std::size_t i = 1; i <= kLossField; ++i) {
      if (!Trim(FieldAt(f, i)).empty()) return false;
    }
    return true;
  }

  void TakeFirstRowBC(const std::vector<std::string_view>& f, std::size_t fields, const std::string& model) {
    const std::size_t expected = layout_->firstRowFields;
    if (f.size() < expected) {
      Problem(lineNumber_, "a truncated " + model + " row: " + std::to_string(fields) + " of " +
                               std::to_string(expected - 1) + " fields; read as far as it goes");
    }
    SpliceRecord& record = NewRecord(f[0]);
    record.fibers.push_back(FiberOf(f));
    rowInRecord_ = 1;
    fiberRowsOpen_ = true;
    const std::size_t n = f.size();
    if (layout_->model == Model::B) {
      if (n <= expected) {
        record.condition = TextAt(f, 9);
        record.date = TextAt(f, 10);
        record.time = TextAt(f, 11);
      } else {  // the condition holds commas
        record.condition = Joined(f, 9, n - 4);
        record.date = TextAt(f, n - 3);
        record.time = TextAt(f, n - 2);
      }
      return;
    }
    std::size_t date = 10;
    if (n > expected) {
      for (std::size_t i = 10; i + 2 < n; ++i) {
        if (LooksLikeDateC(f[i])) {
          date = i;
          break;
        }
      }
    }
    record.condition = Joined(f, 9, date - 1);
    record.date = TextAt(f, date);
    record.time = TextAt(f, date + 1);
    record.memo = n > expected ? Joined(f, date + 2, n - 2) : TextAt(f, 12);
  }

  FiberRow FiberOf(const std::vector<std::string_view>& f) const {
    FiberRow fiber;
    fiber.line = lineNumber_;
    fiber.position = WholeNumber(FieldAt(f, 1)).value_or(rowInRecord_ == 0 ? 1 : rowInRecord_);
    fiber.offset = ValueAt(f, 2);
    fiber.cutLeft = ValueAt(f, 3);
    fiber.cutRight = ValueAt(f, 4);
    fiber.gap = ValueAt(f, 5);
    fiber.estimatedLoss = ValueAt(f, kLossField);
    fiber.lossText = TextAt(f, kLossField);
    return fiber;
  }

  SpliceRecord& NewRecord(std::string_view number) {
    SpliceRecord& record = reading_.records.emplace_back();
    record.model = layout_->model;
    record.numberText = std::string(Trim(number));
    record.number = WholeNumber(number);
    record.source = source_;
    record.line = lineNumber_;
    rowInRecord_ = 0;
    return record;
  }

  std::string source_;
  TableReading& reading_;
  int lineNumber_ = 0;
  int emptyRun_ = 0;
  const LayoutRow* layout_ = nullptr;
  bool unknownTable_ = false;
  bool expectUnits_ = false;
  bool fiberRowsOpen_ = false;
  int rowInRecord_ = 0;
  int tablesHere_ = 0;
  int strayFirst_ = 0;
  int strayLast_ = 0;
  bool unknownHeaderSeen_ = false;
  bool contentSeen_ = false;
  int problemCount_ = 0;
};

}  // namespace

void ReadTables(std::string_view source, std::string_view text, TableReading& reading) {
  FileReader(source, reading).Read(text);
}

}  // namespace seamlog::report
