#include "seamlog/reportgen/report_generator.h"

#include <stdexcept>
#include <string_view>
#include <vector>

namespace seamlog::reportgen {
namespace {

std::string RightAlign(std::string value, std::size_t width) {
  if (value.size() >= width) return value.substr(value.size() - width);
  return std::string(width - value.size(), ' ') + value;
}

std::string PadRight(std::string value, std::size_t width) {
  value.resize(width, ' ');
  return value;
}

std::string TwoDigits(int n) { return std::string{static_cast<char>('0' + n / 10 % 10), static_cast<char>('0' + n % 10)}; }

template <std::size_t N>
std::string Pick(Random& random, const std::array<const char*, N>& choices) {
  return choices[static_cast<std::size_t>(random.Below(static_cast<int>(N)))];
}

// A text of fixed length, blank where nothing was put; positions count from 1.
class Canvas {
 public:
  explicit Canvas(std::size_t length) : text_(length, ' ') {}
  void Put(std::size_t position, std::string_view value) {
    if (position < 1 || position - 1 + value.size() > text_.size()) {
      throw std::logic_error("report layout: a value does not fit at position " +
                             std::to_string(position));
    }
    text_.replace(position - 1, value.size(), value);
  }
  void LineEnd(std::size_t position) { Put(position, "\r\n"); }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string Number(int number) { return RightAlign(std::to_string(number % 10000), 4); }

std::string Date(Random& random, bool yearFirst) {
  const std::string day = TwoDigits(1 + random.Below(28));
  const std::string month = TwoDigits(1 + random.Below(12));
  const std::string year = TwoDigits(20 + random.Below(10));
  return yearFirst ? year + "/" + month + "/" + day : day + "/" + month + "/" + year;
}

std::string Time(Random& random) { return TwoDigits(random.Below(24)) + ":" + TwoDigits(random.Below(60)); }

// Irregular value: usually "0.12"; now and then "12.5" or " 0.4", whose point
// stands third.
std::string Irregular(Random& random) {
  return random.Below(5) == 0 ? random.Fixed(1000, 1, 4) : random.Fixed(100, 2, 4);
}

}  // namespace

std::uint32_t Random::Next() {
  // xorshift64*
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return static_cast<std::uint32_t>((state_ * 2685821657736338717ull) >> 32);
}

std::string Random::Fixed(int limit, int decimals, int width) {
  int scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  const int value = Below(limit);
  std::string fraction = std::to_string(value % scale);
  fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
  return RightAlign(std::to_string(value / scale) + "." + fraction, static_cast<std::size_t>(width));
}

ValuesA RandomValuesA(Random& random, int number) {
  ValuesA v;
  v.number = Number(number);
  v.cutLeft = random.Fixed(20, 1, 3);
  v.cutRight = random.Fixed(20, 1, 3);
  v.offset = random.Fixed(10, 1, 3);
  v.deform = random.Fixed(10, 1, 3);
  v.ectLeft = random.Fixed(10, 1, 3);
  v.ectRight = random.Fixed(10, 1, 3);
  v.coreOffset = random.Fixed(10, 1, 3);
  v.arcCount = RightAlign(std::to_string(1 + random.Below(3000)), 4);
  v.estimationLoss = random.Fixed(30, 2, 5);
  v.alignMethod = RightAlign(Pick(random, std::array{"Core", "Clad", "Core Auto"}), 15);
  v.fiber = RightAlign(Pick(random, std::array{"SM", "DS", "NZ", "MM", "SM G657"}), 15);
  v.date = RightAlign(Date(random, false), 15);
  v.time = RightAlign(Time(random), 15);
  v.memo = PadRight(Pick(random, std::array{"", "Tray 2", "Joint 17", "Re-splice", "Site 4 Pit 9"}), 15);
  return v;
}

ValuesB RandomValuesB(Random& random, int number) {
  ValuesB v;
  v.number = Number(number);
  for (std::size_t k = 0; k < v.fibers.size(); ++k) {
    FiberB& f = v.fibers[k];
    f.count = std::to_string(k + 1);
    f.offset = random.Fixed(10, 1, 3);
    f.cutLeft = random.Fixed(20, 1, 3);
    f.cutRight = random.Fixed(20, 1, 3);
    f.gap = random.Fixed(200, 1, 4);
    f.loss = k == 1 ? random.Fixed(10, 1, 3) : random.Fixed(30, 2, 4);
  }
  for (std::size_t k = 0; k < 2; ++k) {
    v.eighth[k] = Pick(random, std::array{" ", "L", "R"});
    v.irregular[k] = Irregular(random);
  }
  v.condition = PadRight(std::string(" ") + Pick(random, std::array{"Good", "Bubble", "Thin", "Fat"}), 9);
  v.date = RightAlign(Date(random, false), 10);
  v.time = Time(random);
  return v;
}

ValuesC RandomValuesC(Random& random, int number, int fibers) {
  ValuesC v;
  v.number = Number(number);
  v.fiberCount = fibers >= 1 && fibers <= 12 ? fibers : 1 + random.Below(8);
  for (std::size_t k = 0; k < v.fibers.size(); ++k) {
    FiberC& f = v.fibers[k];
    f.count = TwoDigits(static_cast<int>(k) + 1);
    f.offset = random.Fixed(10, 1, 3);
    f.cutLeft = random.Fixed(20, 1, 3);
    f.cutRight = random.Fixed(20, 1, 3);
    f.gap = random.Fixed(200, 1, 4);
    f.eighth = Pick(random, std::array{" ", "L", "R"});
    f.irregular = Irregular(random);
    f.loss = random.Fixed(30, 2, 4);
  }
  v.totalEighth = Pick(random, std::array{" ", "L", "R"});
  v.totalIrregular = Irregular(random);
  v.condition = PadRight(Pick(random, std::array{"Good", "Bubble", "Thin", "Fat"}), 10);
  v.date = Date(random, true);
  v.time = Time(random);
  v.memo = PadRight(Pick(random, std::array{"", "Tray 3", "Joint 17", "Re-splice"}), 12);
  return v;
}

std::string SeparatorBlock(Model model) {
  return std::string(31, '-') + "\r\n" +
         PadRight(std::string("  SPLICE RECORD         ") + std::string(convert::ModelRowOf(model).name), 31) +
         "\r\n";
}

std::string RecordBodyA(const ValuesA& v) {
  struct Field {
    std::size_t start;
    const char* label;
    const std::string& value;
  };
  const std::array<Field, 15> fields{{
      {35, "Splice Data          Record No.", v.number},
      {69, "Cut Angle L", v.cutLeft},
      {105, "Cut Angle R", v.cutRight},
      {141, "Axis Offset", v.offset},
      {176, "Deform Angle", v.deform},
      {212, "Eccentricity L", v.ectLeft},
      {247, "Eccentricity R", v.ectRight},
      {282, "Core Offset", v.coreOffset},
      {316, "Arc Count", v.arcCount},
      {351, "Estimated Loss", v.estimationLoss},
      {382, "Align Method", v.alignMethod},
      {420, "Fiber Type", v.fiber},
      {458, "Date", v.date},
      {496, "Time", v.time},
      {534, "Memo", v.memo},
  }};
  Canvas body(552);
  std::size_t lineStart = 1;
  for (const Field& f : fields) {
    body.Put(lineStart, f.label);
    body.Put(f.start - 2, ":");
    body.Put(f.start, f.value);
    body.LineEnd(f.start + f.value.size());
    lineStart = f.start + f.value.size() + 2;
  }
  body.LineEnd(551);  // an empty line closes the record
  return body.Take();
}

std::string RecordBodyB(const ValuesB& v) {
  Canvas body(312);
  body.Put(1, "Splice No.");
  body.Put(12, v.number);
  body.LineEnd(16);
  body.Put(18, "F  Offset CutL CutR Gap");
  body.Put(45, "Irregular");
  body.LineEnd(54);
  constexpr std::array<std::size_t, 4> kLineStart{56, 92, 128, 154};
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t b = kLineStart[k];
    const FiberB& f = v.fibers[k];
    body.Put(b, f.count);
    body.Put(b + 4, f.offset);
    body.Put(b + 10, f.cutLeft);
    body.Put(b + 15, f.cutRight);
    body.Put(b + 20, f.gap);
    if (k < 2) {
      body.Put(b + 28, v.eighth[k]);
      body.Put(b + 30, v.irregular[k]);
      body.LineEnd(b + 34);
    } else {
      body.LineEnd(b + 24);
    }
  }
  body.Put(182, "Loss   :");
  body.Put(191, v.fibers[0].loss);
  body.LineEnd(195);
  body.Put(200, "Fiber-Sleeve");
  body.Put(218, v.fibers[1].loss);
  body.Put(221, v.condition);
  body.LineEnd(230);
  body.Put(235, v.fibers[2].loss);
  body.Put(244, v.fibers[3].loss);
  body.LineEnd(248);
  body.Put(250, "Program : SM Auto");
  body.LineEnd(268);
  body.Put(270, "Date:");
  body.Put(276, v.date);
  body.Put(292, "Time:");
  body.Put(300, v.time);
  body.LineEnd(305);
  body.LineEnd(311);
  return body.Take();
}

std::string RecordBodyC(const ValuesC& v) {
  constexpr std::size_t kNominalBody = 599;
  auto fiberLine = [](const FiberC& f) {
    Canvas line(36);
    line.Put(1, f.count);
    line.Put(5, f.offset);
    line.Put(11, f.cutLeft);
    line.Put(16, f.cutRight);
    line.Put(21, f.gap);
    line.Put(29, f.eighth);
    line.Put(31, f.irregular);
    line.LineEnd(35);
    return line.Take();
  };

  std::string irregularSection = "Fb Offset CutL CutR  Gap     Irregular\r\n";
  for (int r = 0; r < v.fiberCount; ++r) {
    const FiberC& f = v.fibers[static_cast<std::size_t>(r)];
    irregularSection += fiberLine(f);
  }
  {
    Canvas total(36);
    total.Put(1, "Total");
    total.Put(29, v.totalEighth);
    total.Put(31, v.totalIrregular);
    total.LineEnd(35);
    irregularSection += total.Take();
  }

  std::string lossSection = "Fb  Est.Loss\r\n";
  for (std::size_t n = 1; n <= 12; ++n) {
    std::string line = TwoDigits(static_cast<int>(n)) + " " + v.fibers[n - 1].loss;
    if (n == 2) line += "  C: " + v.condition;
    if (n == 5) line += "   Date: " + v.date;
    if (n == 6) line += "   Time:    " + v.time;
    if (n == 8) line += "  M: " + v.memo;
    lossSection += line + "\r\n";
  }

  const std::string head = "Splice No. " + v.number + "\r\n";
  const std::size_t fixed = head.size() + irregularSection.size() + lossSection.size();
  // Splice information fills the body to its nominal size when there is room.
  static const std::vector<std::string> kInformation{
      "Program      : SM-SM Auto", "Arc Power    : Standard", "Arc Time     : 2000 ms",
      "Prefuse Time : 180 ms",     "Gap Set      : 8 um",     "Overlap      : 10 um",
      "Cleave Limit : 2.0 deg",    "Core Angle   : 1.0 deg",  "Heater       : 60 mm",
      "Arc Check    : 3 days ago", "Electrodes   : 1532 arcs"};
  std::string information;
  const std::size_t room = fixed < kNominalBody ? kNominalBody - fixed : 0;
  for (const std::string& line : kInformation) {
    if (!information.empty() && information.size() + line.size() + 2 > room) break;
    information += line + "\r\n";
  }
  if (information.size() < room) {
    const std::size_t left = room - information.size();
    if (left >= 2) information += std::string(left - 2, ' ') + "\r\n";
    else information.insert(information.size() - 2, " ");
  }
  return head + irregularSection + information + lossSection;
}

std::string GenerateReport(const ReportOptions& options) {
  Random random(options.seed);
  const std::string separator = SeparatorBlock(options.model);
  std::string report;
  report.reserve(static_cast<std::size_t>(options.records) *
                 static_cast<std::size_t>(convert::ModelRowOf(options.model).recordTextLength + 200));
  for (int number = 1; number <= options.records; ++number) {
    report += separator;
    switch (options.model) {
      case Model::A: report += RecordBodyA(RandomValuesA(random, number)); break;
      case Model::B: report += RecordBodyB(RandomValuesB(random, number)); break;
      case Model::C: report += RecordBodyC(RandomValuesC(random, number, options.fibers)); break;
    }
  }
  return report;
}

std::string AsSentBySplicer(std::string_view report) {
  std::string bytes;
  bytes.reserve(report.size());
  for (std::size_t i = 0; i < report.size(); ++i) {
    bytes.push_back(report[i]);
    if (report[i] == '\r' && i + 1 < report.size() && report[i + 1] == '\n') ++i;
  }
  return bytes;
}

}  // namespace seamlog::reportgen
