// seamlog-convert: appends the table of a captured splicer report to a file,
// exactly as the application's Save As does.
//
//   seamlog-convert [--model MODEL-A|MODEL-B|MODEL-C] [--raw] [--keep-line-ends] [--force] INPUT OUTPUT
//
// INPUT holds the received text byte for byte (with --raw: the bytes as the
// splicer sent them; every CR then gets an LF after it). A capture whose
// lines end in LF alone or in CR alone is converted as the CR LF text it
// stands for, with a note; --keep-line-ends takes it as it is. --model is the
// operator's selection (default MODEL-A); the text itself decides which
// converter runs. OUTPUT is created when missing; an existing file keeps its
// content and the table is added at its end, whole or not at all.
//
// Where it would have to guess, it refuses instead: OUTPUT that is its own
// standard output, OUTPUT that looks like a splicer report (INPUT and OUTPUT
// the wrong way round), a capture whose line ends are mixed. --force takes
// the last two as they are.
//
// Exit status: 0 saved; 1 save failed (empty, unreadable or too large input,
// output refused or not opened, conversion or write error: OUTPUT is left as
// it was); 2 usage; 3 MODEL-C stopped at a record without its heading lines
// (the rows of the records before it stay in OUTPUT).
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

#include "last_record.h"
#include "mapped_file.h"
#include "output_intent.h"
#include "output_refusal.h"
#include "received_file.h"
#include "seamlog/convert/convert_received_text.h"
#include "seamlog/save/interrupted_save.h"
#include "seamlog/save/table_file.h"

namespace {

namespace convert = seamlog::convert;
namespace fs = std::filesystem;
namespace tools = seamlog::tools;

constexpr int kSaved = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kStopped = 3;

constexpr std::string_view kSeparatorHyphens = "-------------------------------";  // 31

constexpr const char* kUsageText =
    "usage: seamlog-convert [--model MODEL-A|MODEL-B|MODEL-C] [--raw] [--keep-line-ends] [--force]\n"
    "                       INPUT OUTPUT\n"
    "  INPUT             the received report text, byte for byte\n"
    "  OUTPUT            the comma-separated file the table is appended to\n"
    "  --model           the splicer model selected (default MODEL-A); the text decides\n"
    "  --raw             INPUT is the splicer's byte stream: every CR gets an LF after it\n"
    "  --keep-line-ends  take an INPUT whose lines end in LF or CR alone as it is,\n"
    "                    instead of as the CR LF text it stands for\n"
    "  --force           convert INPUT with mixed line ends as it is, and append to an\n"
    "                    OUTPUT that looks like a splicer report\n"
    "  --                every argument after it is a file name\n"
    "  --help            this text\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "seamlog-convert: %s\n%s", problem, kUsageText);
  return kUsage;
}

int Failed(const std::string& reason) {
  std::fprintf(stderr, "Data save failed.\nReason: %s\n", reason.c_str());
  return kFailed;
}

void Note(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

struct Arguments {
  convert::Model selected = convert::Model::A;
  bool raw = false;
  bool keepLineEnds = false;
  bool force = false;
  bool help = false;
  std::string input;
  std::string output;
};

// Empty on success, else what is wrong with the command line.
std::string Parse(int argc, char** argv, Arguments& args) {
  int files = 0;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options && arg.starts_with("-")) {
      if (arg == "--") {
        options = false;
      } else if (arg == "--help" || arg == "-h") {
        args.help = true;
        return {};
      } else if (arg == "--model") {
        if (i + 1 >= argc) return "--model needs a model name";
        const auto model = convert::ModelFromName(argv[++i]);
        if (!model) return "unknown model '" + std::string(argv[i]) + "'";
        args.selected = *model;
      } else if (arg == "--raw") {
        args.raw = true;
      } else if (arg == "--keep-line-ends") {
        args.keepLineEnds = true;
      } else if (arg == "--force") {
        args.force = true;
      } else {
        return "unknown option '" + std::string(arg) + "' (a file name that begins with '-' goes after --)";
      }
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

// Where a CR LF capture holds a lone CR or LF.
std::string RefuseStrayLineEnds(const Arguments& args, std::string_view text) {
  const tools::StrayLineEnds stray = tools::FindStrayLineEnds(text);
  if (stray.count == 0) return {};
  const std::string where = "'" + args.input + "' mixes line ends: " + std::to_string(stray.count) +
                            " line end" + (stray.count == 1 ? " is" : "s are") +
                            " not CR LF, the first a lone " + (stray.first == '\r' ? "CR" : "LF") +
                            " at byte offset " + std::to_string(stray.firstOffset) + " (line " +
                            std::to_string(stray.firstLine) + ")";
  if (!args.force)
    return where +
           "; the records would be cut in the wrong places. Mend the capture, or give --force to convert it "
           "as it is";
  Note("Warning: " + where + "; converted as it is (--force).");
  return {};
}

// Brings a capture with LF-only or CR-only line ends to CR LF, saying so.
// Empty when the text may be converted, else why not: line ends mixed, where
// records would be cut in the wrong places.
std::string MendLineEnds(const Arguments& args, std::string& text) {
  const tools::LineEnds ends = tools::DetectLineEnds(text);
  if (ends == tools::LineEnds::CrLf) return RefuseStrayLineEnds(args, text);
  if (ends != tools::LineEnds::LfOnly && ends != tools::LineEnds::CrOnly) return {};
  const char* kind = ends == tools::LineEnds::LfOnly ? "LF" : "CR";
  if (args.keepLineEnds) {
    Note("Warning: the lines of '" + args.input + "' end in " + kind +
         " alone; taken as they are (--keep-line-ends).");
    return {};
  }
  tools::MakeCrLfInPlace(text, ends);
  Note("Note: the lines of '" + args.input + "' end in " + kind + " alone (" + kind +
       "-only capture); converted as the CR LF text they stand for.");
  return {};
}

// True when the text is converted exactly as it stands: its lines end in
// CR LF (a lone one among them is refused or taken by RefuseStrayLineEnds)
// or it has no line end at all.
bool KeptAsItIs(std::string_view text) {
  const tools::LineEnds ends = tools::DetectLineEnds(text);
  return ends == tools::LineEnds::CrLf || ends == tools::LineEnds::None;
}

// A mapped INPUT that another program cuts short while it is converted takes
// its pages with it, and reading one raises SIGBUS. The run ends then with a
// reason instead of a bare signal; its intent beside OUTPUT stays, so the
// next run into OUTPUT finds the part of a table this one wrote.
#if defined(__unix__) || defined(__APPLE__)
const char* cutWhileReadMessage = nullptr;

extern "C" void OnInputCutWhileRead(int) {
  if (cutWhileReadMessage != nullptr) (void)!::write(2, cutWhileReadMessage, std::strlen(cutWhileReadMessage));
  std::_Exit(kFailed);
}
#endif

void ReportInputCutWhileRead(const Arguments& args) {
#if defined(__unix__) || defined(__APPLE__)
  static std::string message;
  message = "Data save failed.\nReason: '" + args.input +
            "' became shorter while it was being converted. The next run into '" + args.output +
            "' checks the part of a table this run may have written.\n";
  cutWhileReadMessage = message.c_str();
  std::signal(SIGBUS, OnInputCutWhileRead);
#else
  (void)args;
#endif
}

// A capture whose lines end in the splicer's CR (and the capture's LF) is
// read as a raw byte stream only by mistake: every CR LF would become CR LF LF.
void WarnRawCrLf(const Arguments& args) {
  Note("Warning: '" + args.input +
       "' already holds CR LF line ends, which the splicer's raw byte stream never does; --raw gives "
       "each of them a second LF and the records will not convert as they should. Leave out --raw "
       "for a capture that holds the received text.");
}

// MODEL-C records cut short in the middle of INPUT (the splicer went away and
// sent again) are left out of the table; the records after them are saved.
void WarnSkipped(const Arguments& args, const std::vector<int>& skipped) {
  if (skipped.empty()) return;
  std::string numbers;
  for (const int record : skipped) numbers += (numbers.empty() ? "" : ", ") + std::to_string(record);
  const bool one = skipped.size() == 1;
  Note("Warning: record" + std::string(one ? " " : "s ") + numbers + " of '" + args.input + "' " +
       (one ? "was" : "were") + " cut short without the loss lines and left out of the table.");
}

// INPUT is all there is: a last record that is not whole was cut off (the
// capture ended too early) and is converted as far as the rules go; what
// could not be converted at all is named too.
void WarnCutShort(const Arguments& args, std::string_view text, const convert::ConvertResult& result) {
  const std::size_t left = result.consumedLength < text.size() ? text.size() - result.consumedLength : 0;
  const tools::LastRecord last = tools::FindLastRecord(text, result.model);
  std::vector<int> skipped = result.skippedRecords;
  const auto lastSkipped = std::find(skipped.begin(), skipped.end(), last.number);
  const bool leftOut = last.CutShort() && lastSkipped != skipped.end();
  if (leftOut) skipped.erase(lastSkipped);
  WarnSkipped(args, skipped);
  if (last.CutShort()) {
    const std::string size = result.model == convert::Model::C
                                 ? std::to_string(last.length) +
                                       " characters, without the twelve loss lines of a whole MODEL-C record"
                                 : std::to_string(last.length) + " of the " +
                                       std::to_string(last.wholeLength) + " characters of a " +
                                       std::string(convert::ModelRowOf(result.model).name) + " record";
    const std::string warning = "Warning: record " + std::to_string(last.number) + ", the last in '" +
                                args.input + "', is cut short: " + size + "; the capture ended too early.";
    if (left == last.length) {
      Note(warning + " It was not converted.");
      return;
    }
    Note(warning +
         (leftOut ? " It was left out of the table."
                  : " It was converted as far as it goes: check its row, or capture the report again."));
  }
  if (left > 0) {
    Note("Warning: the last " + std::to_string(left) +
         " characters begin a record that is not complete; they were not converted.");
  }
}

int Convert(int argc, char** argv) {
  Arguments args;
  if (const std::string problem = Parse(argc, argv, args); !problem.empty()) {
    return Usage(problem.c_str());
  }
  if (args.help) {
    std::printf("seamlog-convert: appends the table of a captured splicer report to a file.\n%s", kUsageText);
    return kSaved;
  }
  if (const std::string refusal = tools::RefuseOutput(args.input, args.output, args.force); !refusal.empty())
    return Failed(refusal);

  // A capture that is converted as it stands is read straight from the
  // file's pages; one whose line ends must change is read into memory, a
  // raw one with its LFs added as it is read.
  tools::MappedFile mapped;
  tools::ReceivedText fromRaw;
  std::string received;
  std::string_view text;
  std::string error;
  if (args.raw) {
    bool holdsCrLf = false;
    if (!tools::ReadRawCapture(args.input, fromRaw, holdsCrLf, error)) return Failed(error);
    if (fromRaw.View().empty()) return Failed("'" + args.input + "' is empty: nothing was received");
    if (holdsCrLf) WarnRawCrLf(args);
    text = fromRaw.View();
  } else if (mapped.Map(args.input, tools::kMaxInputBytes) && KeptAsItIs(mapped.Bytes())) {
    text = mapped.Bytes();
    ReportInputCutWhileRead(args);
    if (const std::string refusal = RefuseStrayLineEnds(args, text); !refusal.empty()) return Failed(refusal);
  } else {
    mapped.Unmap();
    if (!tools::ReadReceivedFile(args.input, received, error)) return Failed(error);
    if (received.empty()) return Failed("'" + args.input + "' is empty: nothing was received");
    if (const std::string refusal = MendLineEnds(args, received); !refusal.empty()) return Failed(refusal);
    text = received;
  }
  if (text.find(kSeparatorHyphens) == std::string::npos) {
    Note("Warning: '" + args.input +
         "' holds no record separator (a line of 31 hyphens) and may not be a splicer report; "
         "it is converted all the same.");
  }

  auto table = seamlog::save::TableFile::OpenForAppend(args.output, error);
  if (!table) return Failed(error);

  // Under the table's lock, so that no other run is writing it: an earlier
  // run into OUTPUT that was killed half-way is settled first.
  seamlog::tools::OutputIntent intents(args.output);
  if (const auto pending = intents.Pending()) {
    std::uint64_t saved = 0;
    std::string reason;
    const seamlog::save::InterruptedSave outcome = seamlog::save::SettleInterruptedSave(
        *pending, text, saved, reason,
        [&](std::uint64_t length, std::string& why) { return table->CutBackTo(length, why); });
    const std::string message = seamlog::save::InterruptedSaveMessage(*pending, outcome, reason);
    if (outcome == seamlog::save::InterruptedSave::TableChanged ||
        outcome == seamlog::save::InterruptedSave::CannotCheck)
      return Failed(message + " Then remove '" + intents.path() + "' and run again.");
    intents.Clear(error);
    if (outcome == seamlog::save::InterruptedSave::TableWhole) {
      Note("Note: an earlier run had saved this table whole in '" + args.output +
           "' before it was interrupted; it is not appended again.");
      table->Close();
      std::printf("Data save completed.\n");
      return kSaved;
    }
    if (outcome == seamlog::save::InterruptedSave::TableTakenBack)
      Note("Note: an earlier run into '" + args.output +
           "' was interrupted; the part of its table it had written was taken back.");
  }
  // Kept while the table is written, and cleared once the table is on the
  // disk: a run killed half-way is found by it, a run that follows a clean
  // one never.
  const seamlog::save::TableState before = table->StateBefore();
  seamlog::tools::IntentClearingTable writer(
      *table, intents,
      {args.output, before.length, before.created, text.size(), seamlog::save::TextDigest(text), false, 0});

  convert::NoProgress progress;
  const convert::ConvertResult result = convert::ConvertReceivedText(text, writer, progress);
  const std::string_view used = convert::ModelRowOf(result.model).name;
  if (result.model == args.selected) {
    std::printf("Model: %.*s\n", static_cast<int>(used.size()), used.data());
  } else {
    const std::string_view selected = convert::ModelRowOf(args.selected).name;
    std::printf("Model: %.*s (recognised in the text; %.*s was selected)\n", static_cast<int>(used.size()),
                used.data(), static_cast<int>(selected.size()), selected.data());
  }
  std::printf("Records received: %lld\n", static_cast<long long>(result.recordCount));

  switch (result.outcome) {
    case convert::ConvertOutcome::Completed:
      std::printf("Data save completed.\n");
      std::fflush(stdout);
      WarnCutShort(args, text, result);
      return kSaved;
    case convert::ConvertOutcome::Stopped: {
      std::fflush(stdout);
      WarnSkipped(args, result.skippedRecords);
      // The records before it, less those left out.
      const int saved = result.stoppedAtRecord - 1 - static_cast<int>(result.skippedRecords.size());
      std::fprintf(stderr,
                   "Conversion stopped at record %d: it has no \"Irregular\" or \"Loss\" heading "
                   "line.\n",
                   result.stoppedAtRecord);
      if (saved == 0) {
        std::fprintf(stderr, "No record was saved: '%s' got only the table's opening rows.\n",
                     args.output.c_str());
      } else {
        std::fprintf(stderr, "The rows of the %d record%s before it were saved in '%s'.\n", saved,
                     saved == 1 ? "" : "s", args.output.c_str());
      }
      return kStopped;
    }
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
  } catch (const std::exception& e) {  // out of memory, mostly
    return Failed(std::string("unexpected error: ") + e.what());
  }
}
