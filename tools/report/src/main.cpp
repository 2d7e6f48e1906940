// seamlog-report: the splice report of the tables Seamlog saved.
//
//   seamlog-report [options] TABLE.csv... -o REPORT.html
//
// Reads every table appended to each TABLE file (MODEL-A, MODEL-B and
// MODEL-C layouts), judges each fiber's estimated loss against the limits and
// writes one self-contained HTML document, whole or not at all.
//
// Exit status: 0 written, every row read; 1 failed (nothing written); 2 usage;
// 3 written, but rows or files were skipped (named on standard error).
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "seamlog/report/job_file.h"
#include "seamlog/report/make_report.h"

namespace {

namespace report = seamlog::report;

constexpr int kWritten = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kWrittenWithProblems = 3;
constexpr std::size_t kMaxJobFileBytes = 64 * 1024;

constexpr const char* kUsageText =
    "usage: seamlog-report [options] TABLE.csv... -o REPORT.html\n"
    "  TABLE.csv            files Seamlog saved tables to (any number of tables each)\n"
    "  -o, --output FILE    the report to write (HTML, one self-contained file)\n"
    "  --json FILE          also write the summary as JSON\n"
    "  --job-file FILE      job details and limits from an ini file (see README)\n"
    "  --job TEXT           the job (overrides the job file; so do the next four)\n"
    "  --location TEXT      location or closure\n"
    "  --operator TEXT      who spliced\n"
    "  --customer TEXT      for whom\n"
    "  --notes TEXT         notes for the header\n"
    "  --limit DB           a fiber fails above this estimated loss (default 0.30)\n"
    "  --warning DB         a fiber warns from this estimated loss (default 0.15)\n"
    "  --average-limit DB   the mean loss of the job may not exceed this (default none)\n"
    "  --date TEXT          the report's date as shown (default today)\n"
    "  --help               this text\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "seamlog-report: %s\n%s", problem.c_str(), kUsageText);
  return kUsage;
}

int Failed(const std::string& reason) {
  std::fprintf(stderr, "Report failed.\nReason: %s\n", reason.c_str());
  return kFailed;
}

struct Arguments {
  report::ReportRequest request;
  std::string jobFile;
  report::JobDetails given;  // from the options; non-empty ones win over the job file
  std::optional<report::Decimal> limit, warning, averageLimit;
  bool help = false;
};

// Empty on success, else what is wrong with the command line.
std::string Parse(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      args.help = true;
      return {};
    }
    if (!arg.starts_with("-") || arg == "-") {
      args.request.tables.emplace_back(arg);
      continue;
    }
    if (i + 1 >= argc) return std::string(arg) + " needs a value";
    const std::string value = argv[++i];
    auto decibels = [&](std::optional<report::Decimal>& into) {
      into = report::ParseDecimal(value);
      if (!into || into->Units() <= 0) return std::string(arg) + " needs a loss in dB above 0, such as 0.30";
      return std::string{};
    };
    std::string problem;
    if (arg == "-o" || arg == "--output") {
      args.request.output = value;
    } else if (arg == "--json") {
      args.request.jsonOutput = value;
    } else if (arg == "--job-file") {
      args.jobFile = value;
    } else if (arg == "--job") {
      args.given.job = value;
    } else if (arg == "--location") {
      args.given.location = value;
    } else if (arg == "--operator") {
      args.given.operatorName = value;
    } else if (arg == "--customer") {
      args.given.customer = value;
    } else if (arg == "--notes") {
      args.given.notes = value;
    } else if (arg == "--date") {
      args.request.reportDate = value;
    } else if (arg == "--limit") {
      problem = decibels(args.limit);
    } else if (arg == "--warning") {
      problem = decibels(args.warning);
    } else if (arg == "--average-limit") {
      problem = decibels(args.averageLimit);
    } else {
      return "unknown option '" + std::string(arg) + "'";
    }
    if (!problem.empty()) return problem;
  }
  if (args.request.tables.empty()) return "no TABLE file given";
  if (args.request.output.empty()) return "the report needs a file name: -o REPORT.html";
  return {};
}

void Take(std::string& into, const std::string& given) {
  if (!given.empty()) into = given;
}

// The job file first, then the options over it. Empty on success.
std::string Settle(Arguments& args, std::vector<report::ReadProblem>& problems) {
  report::JobFile file;
  if (!args.jobFile.empty()) {
    std::string bytes, error;
    if (!report::ReadWholeFile(args.jobFile, kMaxJobFileBytes, bytes, error)) {
      return "the job file '" + args.jobFile + "' " + error;
    }
    file = report::ParseJobFile(args.jobFile, bytes, problems);
  }
  report::ReportRequest& request = args.request;
  request.job = file.job;
  Take(request.job.job, args.given.job);
  Take(request.job.location, args.given.location);
  Take(request.job.operatorName, args.given.operatorName);
  Take(request.job.customer, args.given.customer);
  Take(request.job.notes, args.given.notes);
  request.limits.limit = args.limit.value_or(file.limit.value_or(request.limits.limit));
  request.limits.warning = args.warning.value_or(file.warning.value_or(request.limits.warning));
  request.limits.averageLimit = args.averageLimit ? args.averageLimit : file.averageLimit;
  if (request.limits.warning > request.limits.limit) {
    return "the warning (" + report::FormatDecimal(request.limits.warning, 2) + " dB) is above the limit (" +
           report::FormatDecimal(request.limits.limit, 2) + " dB)";
  }
  return {};
}

void PrintProblems(const std::vector<report::ReadProblem>& problems) {
  for (const report::ReadProblem& problem : problems) {
    if (problem.line > 0) {
      std::fprintf(stderr, "%s line %d: %s\n", problem.source.c_str(), problem.line, problem.message.c_str());
    } else {
      std::fprintf(stderr, "%s: %s\n", problem.source.c_str(), problem.message.c_str());
    }
  }
}

int Run(int argc, char** argv) {
  Arguments args;
  if (const std::string problem = Parse(argc, argv, args); !problem.empty()) return Usage(problem);
  if (args.help) {
    std::printf("seamlog-report: the splice report of the tables Seamlog saved.\n%s", kUsageText);
    return kWritten;
  }
  std::vector<report::ReadProblem> jobProblems;
  if (const std::string problem = Settle(args, jobProblems); !problem.empty()) {
    PrintProblems(jobProblems);
    return Failed(problem);
  }
  PrintProblems(jobProblems);
  const report::ReportOutcome outcome = report::MakeReport(args.request);
  PrintProblems(outcome.content.reading.problems);
  if (!outcome.written) return Failed(outcome.failure);

  const report::LossSummary& s = outcome.content.summary;
  std::printf("Tables read: %d, from %zu file%s\n", outcome.content.reading.tables,
              args.request.tables.size(), args.request.tables.size() == 1 ? "" : "s");
  std::printf("Splices: %d (%d re-spliced), fibers: %d\n", s.splices, s.resplicedSplices, s.fibers);
  std::printf("Pass: %d, warn: %d, fail: %d, no loss value: %d\n", s.pass, s.warn, s.fail, s.noValue);
  std::printf("Report: %s\n", args.request.output.c_str());
  if (!args.request.jsonOutput.empty()) std::printf("Summary: %s\n", args.request.jsonOutput.c_str());
  std::printf("Report completed.\n");
  const std::size_t problems = outcome.content.reading.problems.size() + jobProblems.size();
  if (problems > 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "Warning: %zu problem%s in the input, listed above%s.\n", problems,
                 problems == 1 ? "" : "s",
                 outcome.content.reading.problems.empty() ? "" : "; the report lists those of the tables");
  }
  const bool skipped = problems > 0;
  return skipped ? kWrittenWithProblems : kWritten;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {  // out of memory, mostly
    return Failed(std::string("unexpected error: ") + e.what());
  }
}
