// Converting the largest text that can still be saved (32,767 records) of each
// model into a real table file, next to a plain memchr pass over the same
// bytes. Reports MB/s of received text and the process's peak resident memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "seamlog/convert/convert_received_text.h"
#include "seamlog/reportgen/report_generator.h"
#include "seamlog/save/table_file.h"

namespace {

using seamlog::convert::Model;

constexpr int kLargestSavable = 32767;

double PeakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

const std::string& LargestText(Model model) {
  // One text at a time: the previous model's text is released first, so the
  // peak memory reflects one text, as in the application.
  static Model current{};
  static std::string text;
  if (text.empty() || current != model) {
    std::string().swap(text);
#ifdef __GLIBC__
    malloc_trim(0);  // give the released text back, so that it does not count twice
#endif
    text = seamlog::reportgen::GenerateReport({model, kLargestSavable, 2024, 0});
    current = model;
  }
  return text;
}

std::string TablePath() {
  return (std::filesystem::temp_directory_path() /
          ("seamlog-bench-" + std::to_string(::getpid()) + ".csv"))
      .string();
}

void SetCounters(benchmark::State& state, std::size_t textSize) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(textSize));
  state.counters["text_MB"] = static_cast<double>(textSize) / (1024.0 * 1024.0);
  state.counters["peak_rss_MB"] = PeakRssMegabytes();
}

void ConvertToFile(benchmark::State& state, Model model) {
  const std::string& text = LargestText(model);
  const std::string path = TablePath();
  seamlog::convert::NoProgress progress;
  for (auto _ : state) {
    std::filesystem::remove(path);
    std::string error;
    auto file = seamlog::save::TableFile::OpenForAppend(path, error);
    if (!file) {
      state.SkipWithError(error.c_str());
      return;
    }
    const auto result = seamlog::convert::ConvertReceivedText(text, *file, progress);
    if (result.outcome != seamlog::convert::ConvertOutcome::Completed || result.model != model ||
        result.recordCount != kLargestSavable) {
      state.SkipWithError(("conversion did not complete: " + result.reason).c_str());
      return;
    }
  }
  state.counters["table_MB"] =
      static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
  std::filesystem::remove(path);
  SetCounters(state, text.size());
}

// A single pass over the same bytes that finds every CR LF pair.
void MemchrCrLf(benchmark::State& state, Model model) {
  const std::string& text = LargestText(model);
  for (auto _ : state) {
    std::size_t pairs = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    while (p < end) {
      const void* cr = std::memchr(p, '\r', static_cast<std::size_t>(end - p));
      if (cr == nullptr) break;
      p = static_cast<const char*>(cr) + 1;
      if (p < end && *p == '\n') ++pairs;
    }
    benchmark::DoNotOptimize(pairs);
  }
  SetCounters(state, text.size());
}

BENCHMARK_CAPTURE(MemchrCrLf, model_a, Model::A)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ConvertToFile, model_a, Model::A)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(MemchrCrLf, model_b, Model::B)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ConvertToFile, model_b, Model::B)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(MemchrCrLf, model_c, Model::C)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ConvertToFile, model_c, Model::C)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
