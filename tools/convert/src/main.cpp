// seamlog-convert: appends the table of a captured splicer report to a file,
// exactly as the application's Save As does.
//
//   seamlog-convert [--model MODEL-A|MODEL-B|MODEL-C] [--raw] INPUT OUTPUT
//
// INPUT holds the received text byte for byte (with --raw: the bytes as the
// splicer sent them; every CR then gets an LF after it). --model is the
// operator's selection (default MODEL-A); the text itself decides which
// converter runs. OUTPUT is created when missing; an existing file keeps its
// content and the table is added at its end.
//
// Exit status: 0 saved; 1 save failed (empty or unreadable input, output not
// opened, conversion or write error); 2 usage; 3 MODEL-C stopped at a record
// without its heading lines (the rows before it stay in OUTPUT).
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "received_file.h"
#include "seamlog/convert/convert_received_text.h"
#include "seamlog/save/table_file.h"

namespace {

namespace convert = seamlog::convert;

constexpr int kSaved = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kStopped = 3;

int Usage(const char* problem) {
  std::fprintf(stderr,
               "seamlog-convert: %s\n"
               "usage: seamlog-convert [--model MODEL-A|MODEL-B|MODEL-C] [--raw] INPUT OUTPUT\n"
               "  INPUT    the received report text, byte for byte\n"
               "  OUTPUT   the comma-separated file the table is appended to\n"
               "  --model  the splicer model selected (default MODEL-A); the text decides\n"
               "  --raw    INPUT is the splicer's byte stream: every CR gets an LF after it\n",
               problem);
  return kUsage;
}

int Failed(const std::string& reason) {
  std::fprintf(stderr, "Data save failed.\nReason: %s\n", reason.c_str());
  return kFailed;
}

struct Arguments {
  convert::Model selected = convert::Model::A;
  bool raw = false;
  std::string input;
  std::string output;
};

// Empty on success, else what is wrong with the command line.
std::string Parse(int argc, char** argv, Arguments& args) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--model") {
      if (i + 1 >= argc) return "--model needs a model name";
      const auto model = convert::ModelFromName(argv[++i]);
      if (!model) return "unknown model '" + std::string(argv[i]) + "'";
      args.selected = *model;
    } else if (arg == "--raw") {
      args.raw = true;
    } else if (arg.starts_with("--")) {
      return "unknown option '" + std::string(arg) + "'";
    } else if (files == 0) {
      args.input = arg;
      ++files;
    } else if (files == 1) {
      args.output = arg;
      ++files;
    } else {
      return "too many file names";
    }
  }
  return files == 2 ? std::string{} : "INPUT and OUTPUT are both needed";
}

int Convert(int argc, char** argv) {
  Arguments args;
  if (const std::string problem = Parse(argc, argv, args); !problem.empty()) {
    return Usage(problem.c_str());
  }

  std::string text;
  std::string error;
  const auto kind = args.raw ? seamlog::tools::ByteStream::AsSentBySplicer
                            : seamlog::tools::ByteStream::AsReceived;
  if (!seamlog::tools::ReadReceivedFile(args.input, kind, text, error)) return Failed(error);
  if (text.empty()) return Failed("'" + args.input + "' is empty: nothing was received");

  auto table = seamlog::save::TableFile::OpenForAppend(args.output, error);
  if (!table) return Failed(error);

  convert::NoProgress progress;
  const convert::ConvertResult result = convert::ConvertReceivedText(text, *table, progress);
  const std::string_view used = convert::ModelRowOf(result.model).name;
  if (result.model == args.selected) {
    std::printf("Model: %.*s\n", static_cast<int>(used.size()), used.data());
  } else {
    const std::string_view selected = convert::ModelRowOf(args.selected).name;
    std::printf("Model: %.*s (recognised in the text; %.*s was selected)\n",
                static_cast<int>(used.size()), used.data(), static_cast<int>(selected.size()),
                selected.data());
  }
  std::printf("Records received: %lld\n", static_cast<long long>(result.recordCount));

  switch (result.outcome) {
    case convert::ConvertOutcome::Completed:
      std::printf("Data save completed.\n");
      return kSaved;
    case convert::ConvertOutcome::Stopped:
      std::fflush(stdout);
      std::fprintf(stderr,
                   "Conversion stopped at record %d: it has no \"Irregular\" or \"Loss\" heading "
                   "line.\nThe rows of the records before it were saved in '%s'.\n",
                   result.stoppedAtRecord, args.output.c_str());
      return kStopped;
    case convert::ConvertOutcome::Failed:
      break;
  }
  std::fflush(stdout);
  return Failed(result.reason);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Convert(argc, argv);
  } catch (const std::exception& e) {  // out of memory for a huge input, mostly
    return Failed(std::string("unexpected error: ") + e.what());
  }
}
