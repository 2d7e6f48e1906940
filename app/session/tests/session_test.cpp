// The whole road on the platform's real files: bytes from a simulated
// splicer -> capture -> journal -> Save As -> table file -> journal cut back,
// and a crash -> recovery at the next start.
#include "seamlog/session/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "seamlog/convert/arriving_record.h"
#include "seamlog/convert/convert_received_text.h"
#include "seamlog/convert/memory_row_writer.h"
#include "seamlog/journal/journal_format.h"
#include "seamlog/reportgen/report_generator.h"
#include "seamlog/save/file_steps.h"
#include "seamlog/save/table_file.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace seamlog::session {
namespace {

namespace fs = std::filesystem;
using convert::Model;

// A splicer on a cable: it sends what it was given, at most 64 bytes a read,
// and can be unplugged and plugged in again.
class Splicer final : public link::DeviceLibrary {
 public:
  void Send(std::string_view bytes) { pending_.append(bytes); }
  void Unplug() { plugged_ = false; }
  void Plug() { plugged_ = true; }
  bool Idle() const { return pending_.empty(); }

  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t&, std::int32_t&) override {
    if (!plugged_) return link::kDeviceFailure;
    handle = 1;
    return 0;
  }
  std::int32_t ReadFile(std::int32_t&, std::uint8_t* buffer) override {
    if (!plugged_) return link::kDeviceFailure;
    const std::size_t n = std::min<std::size_t>(pending_.size(), link::kMaxTransfer);
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    return static_cast<std::int32_t>(n);
  }
  std::int32_t WriteFile(std::int32_t&, std::uint8_t*, std::int32_t&) override { return 0; }
  std::int32_t CloseDevice(std::int32_t&) override { return 0; }

 private:
  std::string pending_;
  bool plugged_ = true;
};

class ManualClock final : public SteadyClock {
 public:
  TimePoint Now() override { return now; }
  TimePoint now{std::chrono::hours(1)};
};

class FixedLogClock final : public diagnostics::LogClock {
 public:
  diagnostics::LocalTime Now() override { return {2026, 12, 8, 10, 0, 0, 0}; }
};

// The window and the Save As desk: a dialog that always picks one file, the
// messages the operator saw.
class Desk final : public SessionView,
                   public save::SaveLocation,
                   public save::SaveFileDialog,
                   public save::MessageDisplay {
 public:
  explicit Desk(std::string file) : file_(std::move(file)) {}
  void ShowConnected(bool connected) override { this->connected = connected; }
  void EnableSaveButton(bool) override {}
  void ShowConvertResult(const convert::ConvertResult&, bool) override {}
  void RestoreCurrentDirectory() override {}
  void StartProgress(std::int16_t) override {}
  void SetProgress(std::int16_t) override {}
  std::string CsvDir() const override { return {}; }
  void ClearFileNames() override {}
  bool RememberChosenFile(std::string_view) override { return true; }
  std::optional<std::string> AskForFile(const save::SaveDialogRequest&) override { return file_; }
  void ShowMessage(std::string_view text, save::MessageIcon) override { messages.emplace_back(text); }

  SaveDesk Save() { return {*this, *this, *this}; }

  bool connected = false;
  std::vector<std::string> messages;

 private:
  std::string file_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The table the engine makes of text, as Save As appends it.
std::string TableOf(std::string_view text) {
  convert::MemoryRowWriter out;
  convert::NoProgress progress;
  convert::ConvertReceivedText(text, out, progress);
  std::string table;
  for (const std::string& row : out.rows()) table += row + "\r\n";
  return table;
}

// One run of Seamlog in a folder of its own.
class SeamlogRun {
 public:
  SeamlogRun(const fs::path& folder, Splicer& splicer, ManualClock& clock)
      : journalFiles_(journal::MakeJournalFiles(folder.string())),
        logFiles_(diagnostics::MakeLogFiles(folder.string())),
        desk((folder / "table.csv").string()),
        session(Model::A, {splicer, *journalFiles_, *logFiles_, logClock_, tableFiles_, clock}, desk) {}

  // Ticks until the splicer has nothing more to send (and one more tick).
  void Receive(Splicer& splicer) {
    for (int guard = 0; guard < 100000 && !splicer.Idle(); ++guard) session.Tick();
    session.Tick();
  }

 private:
  std::unique_ptr<journal::JournalFiles> journalFiles_;
  std::unique_ptr<diagnostics::LogFiles> logFiles_;
  FixedLogClock logClock_;
  save::TableFiles tableFiles_;

 public:
  Desk desk;
  Session session;
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    // The cut and kill points test the session's logic, hundreds of saves;
    // a folder in memory, where there is one, spares them the disk's flushes.
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const bool inMemory =
        (std::string_view(test->test_suite_name()).find("CutPoint") != std::string_view::npos ||
         std::string_view(test->name()).find("Kill") != std::string_view::npos) &&
        fs::is_directory("/dev/shm");
    folder_ =
        (inMemory ? fs::path("/dev/shm") : fs::temp_directory_path()) /
        ("seamlog-session-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  ~SessionTest() override { fs::remove_all(folder_); }
  fs::path Table() const { return folder_ / "table.csv"; }
  void Reset() {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }

  fs::path folder_;
  ManualClock clock;
};

// ---- a save while the last record is still arriving -------------------------

enum class Link {
  Connected,           // the splicer is still sending when the operator saves
  Unplugged,           // the cable came out in the middle of the record
  ReplugedBeforeSave,  // ... and the splicer sent its next report before the save
};

struct CutCase {
  const char* name;
  Model model;
  Link link;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutPointTest : public SessionTest, public ::testing::WithParamInterface<CutCase> {};

// For every cut point of the last record of a report, from the start of its
// separator line to its last byte.
TEST_P(CutPointTest, EveryRecordIsSavedOnceAndWholeWhereverTheSaveCutsTheLastRecord) {
  const CutCase c = GetParam();
  const std::string first = reportgen::GenerateReport({c.model, 3, 31, 0});
  const std::string second = reportgen::GenerateReport({c.model, 2, 32, 0});
  const std::string raw = reportgen::AsSentBySplicer(first);
  const std::string rawSecond = reportgen::AsSentBySplicer(second);
  const std::size_t lastStart = raw.rfind(std::string(31, '-') + "\r");
  ASSERT_NE(lastStart, std::string::npos);

  // Every cut point on the host; under Wine, whose file calls are slow, every
  // thirty-seventh and the last, on the Win32 files.
#ifdef _WIN32
  const std::size_t stride = 37;
#else
  const std::size_t stride = 1;
#endif
  int wrong = 0;
  for (std::size_t cut = lastStart; cut <= raw.size();
       cut = cut == raw.size() ? cut + 1 : std::min(cut + stride, raw.size())) {
    SCOPED_TRACE("cut at byte " + std::to_string(cut) + " of " + std::to_string(raw.size()));
    Reset();
    Splicer splicer;
    SeamlogRun run(folder_, splicer, clock);
    run.session.Start("test");
    splicer.Send(raw.substr(0, cut));
    run.Receive(splicer);
    const std::string received = run.session.Capture().ReceivedText();

    std::string expected;
    if (c.link == Link::Connected) {
      run.session.Save(run.desk.Save());
      splicer.Send(raw.substr(cut) + rawSecond);
      run.Receive(splicer);
      run.session.Save(run.desk.Save());
      // Both reports' records, each once and whole, in as many tables as saves.
      const std::size_t held = convert::ArrivingRecordStart(c.model, received);
      expected = TableOf(std::string_view(received).substr(0, held)) + TableOf(first.substr(held) + second);
    } else {
      splicer.Unplug();
      run.Receive(splicer);
      ASSERT_FALSE(run.session.Connected());
      if (c.link == Link::Unplugged) {
        run.session.Save(run.desk.Save());
        expected = TableOf(received);
      }
      splicer.Plug();
      clock.now += std::chrono::seconds(1);
      splicer.Send(rawSecond);
      run.Receive(splicer);
      run.session.Save(run.desk.Save());
      expected += TableOf(c.link == Link::Unplugged ? second : received + second);
    }
    EXPECT_EQ(run.desk.messages.back(), "Data save completed.");
    EXPECT_TRUE(run.session.Capture().Empty()) << "a leftover stayed for later saves";
    if (ReadFile(Table()) != expected && ++wrong > 3) FAIL() << "more wrong tables follow";
    EXPECT_EQ(ReadFile(Table()), expected);
    run.session.Exit(false);
  }
}

INSTANTIATE_TEST_SUITE_P(Models, CutPointTest,
                         ::testing::Values(CutCase{"ModelAConnected", Model::A, Link::Connected},
                                           CutCase{"ModelBConnected", Model::B, Link::Connected},
                                           CutCase{"ModelCConnected", Model::C, Link::Connected},
                                           CutCase{"ModelAUnplugged", Model::A, Link::Unplugged},
                                           CutCase{"ModelBUnplugged", Model::B, Link::Unplugged},
                                           CutCase{"ModelCUnplugged", Model::C, Link::Unplugged},
                                           CutCase{"ModelAReplugged", Model::A, Link::ReplugedBeforeSave},
                                           CutCase{"ModelBReplugged", Model::B, Link::ReplugedBeforeSave},
                                           CutCase{"ModelCReplugged", Model::C, Link::ReplugedBeforeSave}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- crash, exit and the next start ----------------------------------------

TEST_F(SessionTest, AfterACrashTheNextStartBringsTheTextBackAndSavesItOnce) {
  const std::string report = reportgen::GenerateReport({Model::B, 4, 41, 0});
  Splicer splicer;
  {
    SeamlogRun crashed(folder_, splicer, clock);
    crashed.session.Start("test");
    splicer.Send(reportgen::AsSentBySplicer(report));
    crashed.Receive(splicer);
  }  // gone without Exit: the journal is all that is left
  {
    SeamlogRun next(folder_, splicer, clock);
    const std::vector<Notice> notices = next.session.Start("test");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_FALSE(notices[0].warning);
    EXPECT_EQ(next.session.Capture().ReceivedText(), report);
    next.session.Save(next.desk.Save());
    EXPECT_EQ(ReadFile(Table()), TableOf(report));
    next.session.Exit(false);
  }
  SeamlogRun third(folder_, splicer, clock);
  EXPECT_TRUE(third.session.Start("test").empty());
  EXPECT_TRUE(third.session.Capture().Empty());
}

TEST_F(SessionTest, ExitWithoutDiscardingKeepsTheTextForTheNextStart) {
  Splicer splicer;
  {
    SeamlogRun run(folder_, splicer, clock);
    run.session.Start("test");
    // A first start has no interrupted save to look for, and leaves no record of one.
    EXPECT_FALSE(fs::exists(folder_ / kSaveIntentFileName));
    splicer.Send("Splice data\r");
    run.Receive(splicer);
    run.session.Exit(false);
  }
  SeamlogRun next(folder_, splicer, clock);
  next.session.Start("test");
  EXPECT_EQ(next.session.Capture().ReceivedText(), "Splice data\r\n");
}

// "Exit anyway?" Yes: the text is gone from the journal, so it cannot come
// back at the next start (nor decide the model of its next save); one rescue
// copy keeps the text of the last such exit.
TEST_F(SessionTest, ExitAnywayDiscardsTheTextAndKeepsOnlyTheLastRescueCopy) {
  Splicer splicer;
  for (const std::string text : {"first batch\r", "second batch\r"}) {
    SeamlogRun run(folder_, splicer, clock);
    EXPECT_TRUE(run.session.Start("test").empty());
    splicer.Send(text);
    run.Receive(splicer);
    ASSERT_TRUE(run.session.HasUnsavedText());
    run.session.Exit(true);
    EXPECT_EQ(journal::ParseJournal(ReadFile(folder_ / journal::kDiscardedFileName)).text, text + "\n");
  }
  SeamlogRun next(folder_, splicer, clock);
  EXPECT_TRUE(next.session.Start("test").empty());
  EXPECT_TRUE(next.session.Capture().Empty());
}

// A splicer that stays connected but has sent nothing for the quiet period
// is done: a last record that is not whole is then saved as far as it goes.
TEST_F(SessionTest, AQuietSplicerLetsAShortLastRecordBeSavedWithoutUnplugging) {
  const std::string report = reportgen::GenerateReport({Model::A, 2, 51, 0});
  const std::string shortened = report.substr(0, report.size() - 10);
  Splicer splicer;
  SeamlogRun run(folder_, splicer, clock);
  run.session.Start("test");
  splicer.Send(reportgen::AsSentBySplicer(shortened));
  run.Receive(splicer);
  clock.now += kQuietPeriod - std::chrono::milliseconds(1);
  run.session.Save(run.desk.Save());
  EXPECT_FALSE(run.session.Capture().Empty()) << "held back while it may still arrive";
  clock.now += std::chrono::milliseconds(1);
  run.session.Save(run.desk.Save());
  EXPECT_TRUE(run.session.Capture().Empty());
  const std::size_t last = report.rfind(std::string(31, '-'));
  EXPECT_EQ(ReadFile(Table()), TableOf(report.substr(0, last)) + TableOf(shortened.substr(last)));
  run.session.Exit(false);
}

// ---- a save killed at any step ----------------------------------------------

#ifndef _WIN32
// Counts the steps of a save: the table file's, and the journal folder's
// rewrites, cuts and flushes. At step killAt it ends the process at once, as
// a power cut or "End task" would.
class StepCounter final : public save::FileStepHook, public journal::JournalFiles {
 public:
  explicit StepCounter(journal::JournalFiles& real) : real_(real) {}
  bool Allow(save::FileStep step) override {
    static const char* const names[] = {"lock table",  "append rows",    "flush table", "sync folder",
                                        "close table", "cut table back", "remove table"};
    Step(names[static_cast<int>(step)]);
    return true;
  }
  void Step(std::string name) {
    if (!counting) return;
    steps.push_back(std::move(name));
    if (static_cast<int>(steps.size()) == killAt) _exit(0);
  }
  std::string PathOf(std::string_view name) const override { return real_.PathOf(name); }
  bool Exists(std::string_view name) override { return real_.Exists(name); }
  std::unique_ptr<journal::HeldFile> OpenHeld(std::string_view name, std::string& error) override {
    auto file = real_.OpenHeld(name, error);
    return file ? std::make_unique<Held>(*this, std::move(file)) : nullptr;
  }
  bool Replace(std::string_view name, std::string_view data, std::string& error) override {
    Step("replace " + std::string(name));
    return real_.Replace(name, data, error);
  }
  bool Rename(std::string_view from, std::string_view to, std::string& error) override {
    return real_.Rename(from, to, error);
  }
  bool MoveOver(std::string_view from, std::string_view to, std::string& error) override {
    Step("move " + std::string(from));
    return real_.MoveOver(from, to, error);
  }

  bool counting = false;
  int killAt = 0;
  std::vector<std::string> steps;

 private:
  class Held final : public journal::HeldFile {
   public:
    Held(StepCounter& owner, std::unique_ptr<journal::HeldFile> real)
        : owner_(owner), real_(std::move(real)) {}
    bool Size(std::uint64_t& size, std::string& error) override { return real_->Size(size, error); }
    bool Read(std::uint64_t offset, std::size_t size, std::string& data, std::string& error) override {
      return real_->Read(offset, size, data, error);
    }
    bool Append(std::string_view data, std::string& error) override { return real_->Append(data, error); }
    bool Flush(std::string& error) override {
      owner_.Step("flush journal");
      return real_->Flush(error);
    }
    bool Truncate(std::uint64_t length, std::string& error) override {
      owner_.Step("cut journal back");
      return real_->Truncate(length, error);
    }

   private:
    StepCounter& owner_;
    std::unique_ptr<journal::HeldFile> real_;
  };
  journal::JournalFiles& real_;
};

// One run that receives a report (the splicer has gone) and saves it,
// ending the process at step killAt of the save (0: never).
std::vector<std::string> ReceiveAndSave(const fs::path& folder, const std::string& text, int killAt) {
  auto real = journal::MakeJournalFiles(folder.string());
  StepCounter counter(*real);
  auto logFiles = diagnostics::MakeLogFiles(folder.string());
  FixedLogClock logClock;
  save::TableFiles tableFiles;
  ManualClock clock;
  Splicer splicer;
  splicer.Unplug();
  Desk desk((folder / "table.csv").string());
  Session session(Model::A, {splicer, counter, *logFiles, logClock, tableFiles, clock}, desk);
  session.Start("test");
  session.Capture().AppendText(text);  // journaled as if received, in one go
  save::SetFileStepHook(&counter);
  counter.counting = true;
  counter.killAt = killAt;
  session.Save(desk.Save());
  counter.counting = false;
  save::SetFileStepHook(nullptr);
  session.Exit(false);
  return counter.steps;
}

// Whatever step of a save the process dies at, the next start and one more
// Save As leave the table in the file exactly once.
TEST_F(SessionTest, AKillAtAnyStepOfASaveLeavesTheTableInTheFileOnceAfterTheNextStart) {
  // More rows than one block of the table file: a kill can leave half a table.
  const std::string report = reportgen::GenerateReport({Model::A, 3300, 61, 0});
  { std::ofstream(Table(), std::ios::binary) << "an earlier table\r\n"; }
  const std::vector<std::string> steps = ReceiveAndSave(folder_, report, 0);
  ASSERT_GE(steps.size(), 6u);
  for (int killAt = 1; killAt <= static_cast<int>(steps.size()); ++killAt) {
    SCOPED_TRACE("killed before step " + std::to_string(killAt) + ": " + steps[killAt - 1]);
    std::printf("crash point %d: before %s\n", killAt, steps[killAt - 1].c_str());
    Reset();
    { std::ofstream(Table(), std::ios::binary) << "an earlier table\r\n"; }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ReceiveAndSave(folder_, report, killAt);
      _exit(1);  // the kill did not come
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    Splicer splicer;
    SeamlogRun next(folder_, splicer, clock);
    next.session.Start("test");
    if (next.session.HasUnsavedText()) next.session.Save(next.desk.Save());
    EXPECT_EQ(ReadFile(Table()), "an earlier table\r\n" + TableOf(report));
    EXPECT_TRUE(next.session.Capture().Empty());
    next.session.Exit(false);
  }
}
#endif

}  // namespace
}  // namespace seamlog::session
