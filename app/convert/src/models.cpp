#include "seamlog/convert/models.h"

#include <array>

#include "text_search.h"

namespace seamlog::convert {
namespace {

constexpr std::array<ModelRow, 3> kModels{{
    {Model::A, "MODEL-A", 618},
    {Model::B, "MODEL-B", 378},
    {Model::C, "MODEL-C", 665},
}};

// Recognition looks at this many characters from the start of the text.
constexpr std::size_t kHeadLength = 300;

}  // namespace

const ModelRow& ModelRowOf(Model m) { return kModels.at(static_cast<std::size_t>(m)); }

std::optional<Model> ModelFromName(std::string_view name) {
  for (const auto& row : kModels) {
    if (row.name == name) return row.index;
  }
  return std::nullopt;
}

Model RecogniseModel(std::string_view receivedText) {
  const std::string_view head = receivedText.substr(0, kHeadLength);
  const std::size_t irregular = detail::FindNoCase(head, 1, "Irregular");
  if (irregular == 0) return Model::A;
  return detail::FindNoCase(head, irregular, "Loss") != 0 ? Model::B : Model::C;
}

std::int64_t RecordCount(std::size_t textLength, int recordTextLength) {
  const auto divisor = static_cast<std::uint64_t>(recordTextLength > 0 ? recordTextLength : 1);
  const std::uint64_t quotient = textLength / divisor;
  const std::uint64_t twiceRest = 2 * (textLength % divisor);
  const bool roundUp = twiceRest > divisor || (twiceRest == divisor && quotient % 2 == 1);
  return static_cast<std::int64_t>(quotient + (roundUp ? 1 : 0));
}

}  // namespace seamlog::convert
