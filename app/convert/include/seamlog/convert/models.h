#pragma once
// The splicer models this program understands, and the record arithmetic
// that depends on them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace seamlog::convert {

enum class Model : std::int16_t { A = 0, B = 1, C = 2 };

struct ModelRow {
  Model index;
  std::string_view name;           // "MODEL-A", "MODEL-B", "MODEL-C"
  std::int16_t recordTextLength;   // characters of received text per record
};

// The row of the model table: "MODEL-A"/618, "MODEL-B"/378, "MODEL-C"/665.
const ModelRow& ModelRowOf(Model m);

// Exact, case-sensitive match of a model name ("MODEL-B").
std::optional<Model> ModelFromName(std::string_view name);

// Which model sent this text, judged from its first 300 characters:
// no "Irregular" -> MODEL-A; "Irregular" and then "Loss" -> MODEL-B;
// "Irregular" without a "Loss" after it -> MODEL-C. Letter case is ignored.
Model RecogniseModel(std::string_view receivedText);

// Received records estimated from the text length alone: textLength divided
// by recordTextLength, rounded to the nearest whole number, halves to even.
// Wide, so that the caller can see a count that does not fit in 16 bits.
std::int64_t RecordCount(std::size_t textLength, int recordTextLength);

// The largest record total or progress value a save can carry.
inline constexpr std::int64_t kMaxRecordCount = 32767;

}  // namespace seamlog::convert
