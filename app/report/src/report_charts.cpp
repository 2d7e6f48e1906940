#include "report_charts.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace seamlog::report {

namespace {

// The drawing area of every chart, in the units of its viewBox.
constexpr int kWidth = 640;
constexpr int kHeight = 220;
constexpr int kLeft = 48;
constexpr int kRight = 628;
constexpr int kTop = 14;
constexpr int kBottom = 186;
constexpr int kPlotWidth = kRight - kLeft;
constexpr int kPlotHeight = kBottom - kTop;
constexpr int kMaxBins = 40;
constexpr std::size_t kMaxPositions = 24;

std::string Number(std::int64_t n) { return std::to_string(n); }

// A position on the plot: numerator / denominator of its extent, rounded.
int Scale(std::int64_t value, std::int64_t top, int extent) {
  if (top <= 0) return 0;
  value = std::clamp<std::int64_t>(value, 0, top);
  return static_cast<int>(DivideHalfToEven(value * extent, top));
}

std::vector<std::int64_t> StandingLosses(const ReportContent& content) {
  std::vector<std::int64_t> losses;
  const auto& records = content.reading.records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i < content.attempts.size() && !content.attempts[i].Final()) continue;
    for (const FiberRow& fiber : records[i].fibers) {
      if (fiber.estimatedLoss) losses.push_back(fiber.estimatedLoss->Units());
    }
  }
  return losses;
}

void OpenChart(std::string& out, const char* title, const char* description) {
  out += "<figure class=\"chart\"><figcaption>";
  out += title;
  out += "</figcaption><svg viewBox=\"0 0 " + Number(kWidth) + " " + Number(kHeight) +
         "\" role=\"img\" aria-label=\"";
  out += title;
  out += "\"><desc>";
  out += description;
  out += "</desc>";
}

void Axes(std::string& out, const std::string& yLabel) {
  out += "<path class=\"axis\" d=\"M" + Number(kLeft) + " " + Number(kTop) + "V" + Number(kBottom) + "H" +
         Number(kRight) + "\"/>";
  out += "<text class=\"lbl\" x=\"4\" y=\"" + Number(kTop + 4) + "\">";
  AppendEscaped(out, yLabel);
  out += "</text>";
}

void Text(std::string& out, int x, int y, const std::string& text, const char* anchor = "middle") {
  out += "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" text-anchor=\"" + anchor + "\">";
  AppendEscaped(out, text);
  out += "</text>";
}

// Vertical marks for the warning and the limit on an axis of losses.
void LimitMarksX(std::string& out, const AcceptanceLimits& limits, std::int64_t top) {
  const int warn = kLeft + Scale(limits.warning.Units(), top, kPlotWidth);
  const int limit = kLeft + Scale(limits.limit.Units(), top, kPlotWidth);
  out +=
      "<path class=\"warnline\" d=\"M" + Number(warn) + " " + Number(kTop) + "V" + Number(kBottom) + "\"/>";
  out +=
      "<path class=\"limitline\" d=\"M" + Number(limit) + " " + Number(kTop) + "V" + Number(kBottom) + "\"/>";
  Text(out, warn, kTop - 3, "warning " + FormatDecimal(limits.warning, 2));
  Text(out, limit, kTop - 3, "limit " + FormatDecimal(limits.limit, 2));
}

// Horizontal marks for the warning and the limit on an axis of losses.
void LimitMarksY(std::string& out, const AcceptanceLimits& limits, std::int64_t top) {
  const int warn = kBottom - Scale(limits.warning.Units(), top, kPlotHeight);
  const int limit = kBottom - Scale(limits.limit.Units(), top, kPlotHeight);
  out +=
      "<path class=\"warnline\" d=\"M" + Number(kLeft) + " " + Number(warn) + "H" + Number(kRight) + "\"/>";
  out +=
      "<path class=\"limitline\" d=\"M" + Number(kLeft) + " " + Number(limit) + "H" + Number(kRight) + "\"/>";
  Text(out, kLeft - 3, warn + 4, FormatDecimal(limits.warning, 2), "end");
  Text(out, kLeft - 3, limit + 4, FormatDecimal(limits.limit, 2), "end");
}

// The top of a loss axis: a little above the largest loss and the limit,
// at a round hundredth of a dB.
std::int64_t LossAxisTop(std::int64_t largest, const AcceptanceLimits& limits) {
  const std::int64_t top =
      std::max({largest, limits.limit.Units(), limits.warning.Units(), std::int64_t{100}});
  const std::int64_t padded = top + top / 10;
  return (padded + 99) / 100 * 100;
}

}  // namespace

void AppendLossHistogram(std::string& out, const ReportContent& content) {
  const std::vector<std::int64_t> losses = StandingLosses(content);
  if (losses.empty()) return;
  const std::int64_t largest = *std::max_element(losses.begin(), losses.end());
  const std::int64_t reach =
      std::max({largest, content.limits.limit.Units(), content.limits.warning.Units()});
  std::int64_t width = 100;  // 0.01 dB, then 0.02, 0.05, 0.1, 0.2, 0.5, 1 ...
  for (int step = 0; (reach + width - 1) / width > kMaxBins; ++step)
    width = step % 3 == 1 ? width * 5 / 2 : width * 2;
  const int bins = static_cast<int>(std::max<std::int64_t>(1, (reach + width - 1) / width));
  std::vector<int> counts(static_cast<std::size_t>(bins), 0);
  // A band holds the losses above its lower end up to its upper end, so that
  // a loss right at the limit lies in the band below the limit's mark.
  for (std::int64_t loss : losses) {
    const std::int64_t band = loss <= 0 ? 0 : (loss - 1) / width;
    ++counts[static_cast<std::size_t>(std::min<std::int64_t>(band, bins - 1))];
  }
  const int most = *std::max_element(counts.begin(), counts.end());
  const std::int64_t top = width * bins;

  OpenChart(out, "Estimated loss: how many fibers in each band",
            "Bars: fibers whose estimated loss lies in each band; lines: warning and limit.");
  Axes(out, "fibers");
  Text(out, kLeft - 3, kTop + 8, Number(most), "end");
  Text(out, kLeft - 3, kBottom, "0", "end");
  const int labelEvery = std::max(1, bins / 8);
  for (int b = 0; b < bins; ++b) {
    const int x0 = kLeft + Scale(width * b, top, kPlotWidth);
    const int x1 = kLeft + Scale(width * (b + 1), top, kPlotWidth);
    const int h = Scale(counts[static_cast<std::size_t>(b)], most, kPlotHeight);
    if (h > 0) {
      out += "<rect class=\"bar\" x=\"" + Number(x0 + 1) + "\" y=\"" + Number(kBottom - h) + "\" width=\"" +
             Number(std::max(1, x1 - x0 - 2)) + "\" height=\"" + Number(h) + "\"/>";
    }
    if (b % labelEvery == 0) Text(out, x0, kBottom + 14, FormatDecimal(Decimal::FromUnits(width * b), 2));
  }
  Text(out, kRight, kBottom + 28, "estimated loss, dB", "end");
  LimitMarksX(out, content.limits, top);
  out += "</svg><ul class=\"figures-list\">";
  for (int b = 0; b < bins; ++b) {
    if (counts[static_cast<std::size_t>(b)] == 0) continue;
    out += "<li>" + FormatDecimal(Decimal::FromUnits(width * b), 2) + "&ndash;" +
           FormatDecimal(Decimal::FromUnits(width * (b + 1)), 2) +
           " dB: " + Number(counts[static_cast<std::size_t>(b)]) + "</li>";
  }
  out += "</ul></figure>\n";
}

void AppendLossBySplice(std::string& out, const ReportContent& content) {
  struct Point {
    std::int64_t loss;
    Verdict verdict;
  };
  std::vector<Point> points;
  const auto& records = content.reading.records;
  for (const SpliceRecord& record : records) {
    for (const FiberRow& fiber : record.fibers) {
      if (fiber.estimatedLoss) {
        points.push_back({fiber.estimatedLoss->Units(), Judge(fiber.estimatedLoss, content.limits)});
      }
    }
  }
  if (points.empty()) return;
  std::int64_t largest = 0;
  for (const Point& p : points) largest = std::max(largest, p.loss);
  const std::int64_t top = LossAxisTop(largest, content.limits);

  OpenChart(out, "Estimated loss of every fiber, in the order of the splices",
            "Dots: each fiber's estimated loss, from the first splice read to the last; lines: "
            "warning and limit.");
  Axes(out, "dB");
  Text(out, kLeft - 3, kTop + 8, FormatDecimal(Decimal::FromUnits(top), 2), "end");
  Text(out, kLeft - 3, kBottom, "0", "end");
  LimitMarksY(out, content.limits, top);
  // One dot for each place on the drawing: a large job draws no more dots
  // than the chart has places, whatever its number of fibers.
  constexpr std::array<const char*, 3> kClasses{"pass", "warn", "fail"};
  std::vector<std::vector<bool>> drawn(3, std::vector<bool>((kPlotWidth + 1) * (kPlotHeight + 1), false));
  std::array<std::string, 3> paths;
  const auto last = static_cast<std::int64_t>(points.size() - 1);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::size_t kind = points[i].verdict == Verdict::Fail   ? 2
                             : points[i].verdict == Verdict::Warn ? 1
                                                                  : 0;
    const int x = last == 0 ? kPlotWidth / 2 : Scale(static_cast<std::int64_t>(i), last, kPlotWidth);
    const int y = Scale(points[i].loss, top, kPlotHeight);
    const auto place = static_cast<std::size_t>(x * (kPlotHeight + 1) + y);
    if (drawn[kind][place]) continue;
    drawn[kind][place] = true;
    paths[kind] += "M" + Number(kLeft + x) + " " + Number(kBottom - y) + "h0";
  }
  for (std::size_t k = 0; k < 3; ++k) {
    if (!paths[k].empty())
      out += std::string("<path class=\"dots ") + kClasses[k] + "\" d=\"" + paths[k] + "\"/>";
  }
  Text(out, kLeft, kBottom + 14, "record " + records.front().numberText, "start");
  Text(out, kRight, kBottom + 14, "record " + records.back().numberText, "end");
  Text(out, (kLeft + kRight) / 2, kBottom + 28, "splices in the order read");
  out +=
      "</svg><p class=\"figures-list\">The loss of every fiber is in the table of all "
      "splices.</p></figure>\n";
}

void AppendLossByFiberPosition(std::string& out, const ReportContent& content) {
  struct Position {
    int fibers = 0;
    std::int64_t sum = 0;
    std::int64_t largest = 0;
    int fail = 0;
  };
  std::map<int, Position> positions;
  bool ribbon = false;
  const auto& records = content.reading.records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].fibers.size() > 1) ribbon = true;
    if (i < content.attempts.size() && !content.attempts[i].Final()) continue;
    for (const FiberRow& fiber : records[i].fibers) {
      if (!fiber.estimatedLoss) continue;
      if (positions.size() >= kMaxPositions && !positions.contains(fiber.position)) continue;
      Position& p = positions[fiber.position];
      const std::int64_t loss = fiber.estimatedLoss->Units();
      if (p.fibers == 0 || loss > p.largest) p.largest = loss;
      ++p.fibers;
      p.sum += loss;
      if (Judge(fiber.estimatedLoss, content.limits) == Verdict::Fail) ++p.fail;
    }
  }
  if (!ribbon || positions.empty()) return;
  std::int64_t largest = 0;
  for (const auto& [n, p] : positions) largest = std::max(largest, p.largest);
  const std::int64_t top = LossAxisTop(largest, content.limits);
  const int slot = kPlotWidth / static_cast<int>(positions.size());

  OpenChart(
      out, "Estimated loss by fiber position (ribbon splices)",
      "Bars: mean estimated loss at each fiber position; marks: the largest; lines: warning and limit.");
  Axes(out, "dB");
  Text(out, kLeft - 3, kTop + 8, FormatDecimal(Decimal::FromUnits(top), 2), "end");
  LimitMarksY(out, content.limits, top);
  int index = 0;
  for (const auto& [n, p] : positions) {
    const int x = kLeft + index * slot;
    const int mean = Scale(DivideHalfToEven(p.sum, p.fibers), top, kPlotHeight);
    const int high = Scale(p.largest, top, kPlotHeight);
    out += "<rect class=\"bar\" x=\"" + Number(x + slot / 4) + "\" y=\"" + Number(kBottom - mean) +
           "\" width=\"" + Number(std::max(1, slot / 2)) + "\" height=\"" + Number(mean) + "\"/>";
    out += "<path class=\"maxmark\" d=\"M" + Number(x + slot / 5) + " " + Number(kBottom - high) + "H" +
           Number(x + slot - slot / 5) + "\"/>";
    Text(out, x + slot / 2, kBottom + 14, Number(n));
    ++index;
  }
  Text(out, (kLeft + kRight) / 2, kBottom + 28, "fiber position");
  out +=
      "</svg><table class=\"small\"><thead><tr><th>Fiber</th><th>Fibers</th><th>Mean dB</th>"
      "<th>Largest dB</th><th>Fail</th></tr></thead><tbody>";
  for (const auto& [n, p] : positions) {
    out += "<tr><td>" + Number(n) + "</td><td>" + Number(p.fibers) + "</td><td>" +
           FormatFigure({p.sum, p.fibers}, 3) + "</td><td>" +
           FormatDecimal(Decimal::FromUnits(p.largest), 2) + "</td><td>" + Number(p.fail) + "</td></tr>";
  }
  out += "</tbody></table></figure>\n";
}

}  // namespace seamlog::report
