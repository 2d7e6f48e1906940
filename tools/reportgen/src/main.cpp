// seamlog-reportgen: writes a realistic splice report of one splicer model.
//   seamlog-reportgen [--model MODEL-A|MODEL-B|MODEL-C] [--records N] [--seed S]
//                     [--fibers N] [--raw] OUTPUT
// OUTPUT "-" writes to standard output. With --raw the lines end in CR alone,
// as the splicer sends them (the receiving side adds an LF after every CR).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "seamlog/reportgen/report_generator.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

int Usage() {
  std::fputs(
      "usage: seamlog-reportgen [--model MODEL-A|MODEL-B|MODEL-C] [--records N] [--seed S]\n"
      "                         [--fibers N] [--raw] OUTPUT\n"
      "  --records  number of records, 1 to 40000 (default 10)\n"
      "  --seed     any whole number; the same seed gives the same report (default 1)\n"
      "  --fibers   MODEL-C only: fibers per record, 1 to 12; default 1 to 8 at random\n"
      "  --raw      lines end in CR alone, as the splicer sends them\n"
      "  OUTPUT     file to write, or - for standard output\n",
      stderr);
  return 2;
}

bool ParseNumber(std::string_view text, long low, long high, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const std::string copy(text);
  value = std::strtol(copy.c_str(), &end, 10);
  return *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
  seamlog::reportgen::ReportOptions options;
  std::string output;
  bool raw = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long number = 0;
    if (arg == "--model" && hasValue) {
      const auto model = seamlog::convert::ModelFromName(argv[++i]);
      if (!model) return Usage();
      options.model = *model;
    } else if (arg == "--records" && hasValue) {
      if (!ParseNumber(argv[++i], 1, 40000, number)) return Usage();
      options.records = static_cast<int>(number);
    } else if (arg == "--seed" && hasValue) {
      if (!ParseNumber(argv[++i], 0, 2147483647L, number)) return Usage();
      options.seed = static_cast<std::uint32_t>(number);
    } else if (arg == "--fibers" && hasValue) {
      if (!ParseNumber(argv[++i], 1, 12, number)) return Usage();
      options.fibers = static_cast<int>(number);
    } else if (arg == "--raw") {
      raw = true;
    } else if (output.empty() && (arg == "-" || !arg.starts_with("--"))) {
      output = arg;
    } else {
      return Usage();
    }
  }
  if (output.empty()) return Usage();

  std::string report = seamlog::reportgen::GenerateReport(options);
  if (raw) report = seamlog::reportgen::AsSentBySplicer(report);
#ifdef _WIN32
  if (output == "-") _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::FILE* file = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "seamlog-reportgen: cannot create '%s'\n", output.c_str());
    return 1;
  }
  const bool written = std::fwrite(report.data(), 1, report.size(), file) == report.size();
  const bool closed = file == stdout ? std::fflush(file) == 0 : std::fclose(file) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "seamlog-reportgen: cannot write '%s'\n", output.c_str());
    return 1;
  }
  return 0;
}
