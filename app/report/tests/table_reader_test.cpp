#include "seamlog/report/table_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seamlog/convert/convert_received_text.h"
#include "seamlog/convert/memory_row_writer.h"
#include "seamlog/reportgen/report_generator.h"

namespace seamlog::report {
namespace {

constexpr const char* kHeaderA =
    "No.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc Count,Estimation Loss,Align Method,Fiber,"
    "Date,Time,Memo";
constexpr const char* kUnitsA = ",deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,";
constexpr const char* kHeaderB =
    "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time";
constexpr const char* kHeaderC =
    "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time,Memo";
constexpr const char* kUnitsBC = ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,";

constexpr const char* kRowA1 =
    "   1,1.7,1.7,0.2,0.0,0.0,0.3,0.1,2974, 0.14,Core,MM,03/03/22,20:38,Re-splice      ";
constexpr const char* kRowA2 =
    "   2,1.2,1.3,0.4,0.2,0.1,0.9,0.2,1297, 0.26,Clad,DS,13/09/21,23:36,Site 4 Pit 9   ";

std::string Lines(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (std::string_view line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string TableA(std::initializer_list<std::string_view> rows) {
  return Lines({"", "", kHeaderA, kUnitsA}) + Lines(rows);
}

std::string RecordB(std::string_view number) {
  return Lines({std::string(number) + ",1,0.2,0.0,1.1, 8.1,0.06,R,14.5, Good    ,  19/06/25,22:45,",
                ",2,0.0,0.9,1.9,16.1,0.7 ,R,0.29,", ",3,0.7,0.0,1.0, 7.0,0.06,", ",4,0.8,0.4,1.4, 9.2,0.23,",
                ""});
}

std::string TableB(std::string records) { return Lines({"", "", kHeaderB, kUnitsBC}) + records; }

// A MODEL-C record of one fiber: its row, the filler row, then empty rows to
// thirteen lines.
std::string RecordC1(std::string_view number) {
  std::string text = Lines(
      {std::string(number) + ",01,0.8,1.7,0.3,17.3,0.03,L,0.16,Fat       ,2028/05/12,21:21,Joint 17    ,",
       ",,,,,,, ,0.71,"});
  for (int i = 0; i < 11; ++i) text += "\r\n";
  return text;
}

std::string TableC(std::string records) { return Lines({"", "", kHeaderC, kUnitsBC}) + records; }

struct ProblemAt {
  int line;
  const char* words;  // found in the message
};

struct ReaderCase {
  const char* name;
  std::string text;
  int records;
  int fibers;
  std::vector<ProblemAt> problems;
};

int FiberCount(const TableReading& reading) {
  int fibers = 0;
  for (const SpliceRecord& record : reading.records) fibers += static_cast<int>(record.fibers.size());
  return fibers;
}

TEST(TableReader, EveryKindOfInputGivesItsRecordsAndNamesItsProblemsByLine) {
  const std::vector<ReaderCase> cases = {
      {"a MODEL-A table", TableA({kRowA1, kRowA2}), 2, 2, {}},
      {"a MODEL-B table", TableB(RecordB("   1") + RecordB("   2")), 2, 8, {}},
      {"a MODEL-C table of single-fiber records", TableC(RecordC1("   1") + RecordC1("   2")), 2, 2, {}},
      {"three appended tables of three layouts",
       TableA({kRowA1}) + TableB(RecordB("   7")) + TableC(RecordC1("   9")),
       3,
       6,
       {}},
      {"an empty file", "", 0, 0, {{0, "empty"}}},
      {"a table without records", Lines({"", "", kHeaderA, kUnitsA, kUnitsA}), 0, 0, {}},
      {"a CSV that is not a Seamlog table",
       Lines({"name,loss", "a,0.1", "b,0.2"}),
       0,
       0,
       {{1, "not a Seamlog table"}}},
      {"a header of an unknown layout",
       Lines({"", "", "No.,Loss,Date", ",dB,", "   1,0.1,01/01/25"}) + TableA({kRowA1}),
       1,
       1,
       {{3, "not MODEL-A, MODEL-B or MODEL-C"}}},
      {"rows after a table of an unknown layout stay skipped until the next header",
       Lines({"", "", "No.,Loss", "1,0.1", "", "2,0.2"}),
       0,
       0,
       {{3, "not MODEL-A"}}},
      {"a truncated MODEL-A row",
       TableA({"   3,1.0,1.0,0.1,0.0,0.0,0.1,0.1,100, 0.05,Core"}),
       1,
       1,
       {{5, "truncated MODEL-A row: 11 of 15"}}},
      {"a MODEL-A row cut off before its loss", TableA({"   3,1.0,1.0"}), 1, 1, {{5, "truncated"}}},
      {"a MODEL-B row in a MODEL-A table",
       TableA({kRowA1}) + RecordB("   5"),
       1,
       1,
       {{6, "MODEL-B or MODEL-C row in a MODEL-A table"}, {7, "mixed"}, {8, "mixed"}, {9, "mixed"}}},
      {"a MODEL-A row in a MODEL-B table",
       TableB(RecordB("   1")) + Lines({kRowA2}),
       1,
       4,
       {{10, "MODEL-A row in a MODEL-B table"}}},
      {"a truncated MODEL-B first row",
       TableB(Lines({"   1,1,0.2,0.0,1.1, 8.1,0.06,R", ",2,0.0,0.9,1.9,16.1,0.70,R,0.29,"})),
       1,
       2,
       {{5, "truncated MODEL-B row: 8 of 12"}}},
      {"a truncated MODEL-B fiber row",
       TableB(Lines({"   1,1,0.2,0.0,1.1, 8.1,0.06,R,14.5, Good ,  19/06/25,22:45,", ",2,0.0"})),
       1,
       2,
       {{6, "truncated MODEL-B fiber row"}}},
      {"a fiber row without its record",
       TableB(Lines({",2,0.0,0.9,1.9,16.1,0.70,R,0.29,"})),
       0,
       0,
       {{5, "without the first row"}}},
      {"a fifth fiber row in a MODEL-B record",
       TableB(Lines({"   1,1,0.2,0.0,1.1, 8.1,0.06,R,14.5, Good ,  19/06/25,22:45,",
                     ",2,0.0,0.9,1.9,16.1,0.70,R,0.29,", ",3,0.7,0.0,1.0, 7.0,0.06,",
                     ",4,0.8,0.4,1.4, 9.2,0.23,", ",5,0.8,0.4,1.4, 9.2,0.23,"})),
       1,
       4,
       {{9, "more fiber rows than a MODEL-B record holds (4)"}}},
      {"a missing units row",
       Lines({"", "", kHeaderA, kRowA1}),
       1,
       1,
       {{4, "units row of the MODEL-A table is missing"}}},
      {"a header without the two empty rows before it",
       Lines({kHeaderA, kUnitsA, kRowA1}),
       1,
       1,
       {{1, "not preceded by the two empty rows"}}},
      {"rows between two tables",
       TableA({kRowA1}) + Lines({"", "garbage", "more garbage"}) + TableA({kRowA2}),
       2,
       2,
       {{7, "rows 7 to 8 lie outside any table"}}},
      {"a single row before the first table",
       Lines({"stray"}) + TableA({kRowA1}),
       1,
       1,
       {{1, "a row outside any table"}}},
      {"a row without commas inside a MODEL-C table",
       TableC(RecordC1("   1") + Lines({"hello"})),
       1,
       1,
       {{18, "not a row of the MODEL-C table"}}},
      {"a MODEL-A table ends at an empty row",
       TableA({kRowA1, "", kRowA2}),
       1,
       1,
       {{7, "a row outside any table"}}},
      {"LF line ends and trailing commas a spreadsheet added",
       "\n\n" + std::string(kHeaderA) + ",,\n" + kUnitsA + ",\n" + kRowA1 + "\n",
       1,
       1,
       {}},
      {"a last line without its line end", TableA({}) + kRowA1, 1, 1, {}},
      {"bytes that are no text",
       std::string("\0\xff\x01,\r\n\r", 7) + TableA({kRowA1}),
       1,
       1,
       {{1, "outside any table"}}},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    TableReading reading;
    ReadTables("t.csv", c.text, reading);
    EXPECT_EQ(static_cast<int>(reading.records.size()), c.records);
    EXPECT_EQ(FiberCount(reading), c.fibers);
    ASSERT_EQ(reading.problems.size(), c.problems.size());
    for (std::size_t i = 0; i < c.problems.size(); ++i) {
      EXPECT_EQ(reading.problems[i].source, "t.csv");
      EXPECT_EQ(reading.problems[i].line, c.problems[i].line) << reading.problems[i].message;
      EXPECT_NE(reading.problems[i].message.find(c.problems[i].words), std::string::npos)
          << reading.problems[i].message;
    }
  }
}

TEST(TableReader, AModelARowGivesItsValuesSourceAndLine) {
  TableReading reading;
  ReadTables("day1.csv", TableA({kRowA1, kRowA2}), reading);
  ASSERT_EQ(reading.records.size(), 2u);
  const SpliceRecord& r = reading.records[1];
  EXPECT_EQ(r.model, Model::A);
  EXPECT_EQ(r.number, 2);
  EXPECT_EQ(r.numberText, "2");
  EXPECT_EQ(r.source, "day1.csv");
  EXPECT_EQ(r.line, 6);
  EXPECT_EQ(r.fiberType, "DS");
  EXPECT_EQ(r.date, "13/09/21");
  EXPECT_EQ(r.time, "23:36");
  EXPECT_EQ(r.memo, "Site 4 Pit 9");
  ASSERT_EQ(r.fibers.size(), 1u);
  const FiberRow& f = r.fibers[0];
  EXPECT_EQ(f.position, 1);
  EXPECT_EQ(f.estimatedLoss, Decimal::FromUnits(2600));
  EXPECT_EQ(f.lossText, "0.26");
  EXPECT_EQ(f.cutLeft, Decimal::FromUnits(12000));
  EXPECT_EQ(f.cutRight, Decimal::FromUnits(13000));
  EXPECT_EQ(f.offset, Decimal::FromUnits(4000));
  EXPECT_EQ(f.coreOffset, Decimal::FromUnits(2000));
  EXPECT_EQ(f.line, 6);
  EXPECT_EQ(reading.tables, 1);
}

TEST(TableReader, AMemoHoldingCommasKeepsThemAndShiftsNothing) {
  TableReading reading;
  ReadTables("t.csv",
             TableA({"   4,1.0,1.0,0.1,0.0,0.0,0.1,0.1,100, 0.05,Core,SM,01/02/25,10:00,Pit 3, tray 2"}),
             reading);
  ASSERT_EQ(reading.records.size(), 1u);
  EXPECT_EQ(reading.records[0].memo, "Pit 3, tray 2");
  EXPECT_EQ(reading.records[0].fibers[0].estimatedLoss, Decimal::FromUnits(500));
  EXPECT_TRUE(reading.problems.empty());
}

TEST(TableReader, BlankAndNonNumericFieldsAreNoValueNeverZero) {
  TableReading reading;
  ReadTables("t.csv",
             TableA({"   1,1.0,   ,0.1,0.0,0.0,0.1,0.1,100,     ,Core,SM,01/02/25,10:00,",
                     "   2,abc,1.0,0.1,0.0,0.0,0.1,0.1,100, -.- ,Core,SM,01/02/25,10:00,",
                     "    ,1.0,1.0,0.1,0.0,0.0,0.1,0.1,100, 0.00,Core,SM,01/02/25,10:00,"}),
             reading);
  ASSERT_EQ(reading.records.size(), 3u);
  EXPECT_FALSE(reading.records[0].fibers[0].estimatedLoss);
  EXPECT_FALSE(reading.records[0].fibers[0].cutRight);
  EXPECT_FALSE(reading.records[1].fibers[0].estimatedLoss);
  EXPECT_EQ(reading.records[1].fibers[0].lossText, "-.-");
  EXPECT_FALSE(reading.records[1].fibers[0].cutLeft);
  EXPECT_FALSE(reading.records[2].number);                                       // a blank record number
  EXPECT_EQ(reading.records[2].fibers[0].estimatedLoss, Decimal::FromUnits(0));  // a real 0.00 stays
  EXPECT_TRUE(reading.problems.empty());
}

TEST(TableReader, AModelBRecordGivesFourFibersWithTheirPositions) {
  TableReading reading;
  ReadTables("t.csv", TableB(RecordB("  12")), reading);
  ASSERT_EQ(reading.records.size(), 1u);
  const SpliceRecord& r = reading.records[0];
  EXPECT_EQ(r.model, Model::B);
  EXPECT_EQ(r.number, 12);
  EXPECT_EQ(r.condition, "Good");
  EXPECT_EQ(r.date, "19/06/25");
  EXPECT_EQ(r.time, "22:45");
  EXPECT_EQ(r.memo, "");
  ASSERT_EQ(r.fibers.size(), 4u);
  const std::int64_t losses[] = {600, 7000, 600, 2300};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(r.fibers[i].position, i + 1);
    EXPECT_EQ(r.fibers[i].estimatedLoss, Decimal::FromUnits(losses[i]));
    EXPECT_EQ(r.fibers[i].line, 5 + i);
  }
  EXPECT_EQ(r.fibers[1].gap, Decimal::FromUnits(161000));
  EXPECT_EQ(r.fibers[3].cutRight, Decimal::FromUnits(14000));
}

TEST(TableReader, AModelCFirstRowGivesConditionDateTimeAndMemoEvenWithCommasInThem) {
  TableReading reading;
  ReadTables(
      "t.csv",
      TableC(RecordC1("   3") +
             Lines({"   4,01,0.6,0.0,1.5, 4.0,0.04,L,0.38,Bubble, small,2022/01/06,21:10,Re-splice, tray 2,",
                    ",02,0.0,1.7,0.8,13.2,0.01, ,0.47,", ",03,0.0,1.7,0.8,13.2,0.31,", ""})),
      reading);
  ASSERT_EQ(reading.records.size(), 2u);
  EXPECT_EQ(reading.records[0].condition, "Fat");
  EXPECT_EQ(reading.records[0].date, "2028/05/12");
  EXPECT_EQ(reading.records[0].memo, "Joint 17");
  ASSERT_EQ(reading.records[0].fibers.size(), 1u);
  const SpliceRecord& r = reading.records[1];
  EXPECT_EQ(r.condition, "Bubble, small");
  EXPECT_EQ(r.date, "2022/01/06");
  EXPECT_EQ(r.time, "21:10");
  EXPECT_EQ(r.memo, "Re-splice, tray 2");
  ASSERT_EQ(r.fibers.size(), 3u);
  EXPECT_EQ(r.fibers[2].position, 3);
  EXPECT_EQ(r.fibers[2].estimatedLoss, Decimal::FromUnits(3100));
}

TEST(TableReader, SeveralFilesAddToOneReadingInTheirOrder) {
  TableReading reading;
  ReadTables("a.csv", TableA({kRowA1}), reading);
  ReadTables("b.csv", Lines({"junk"}), reading);
  ReadTables("c.csv", TableB(RecordB("   1")), reading);
  ASSERT_EQ(reading.records.size(), 2u);
  EXPECT_EQ(reading.records[0].source, "a.csv");
  EXPECT_EQ(reading.records[1].source, "c.csv");
  EXPECT_EQ(reading.tables, 2);
  ASSERT_EQ(reading.problems.size(), 1u);
  EXPECT_EQ(reading.problems[0].source, "b.csv");
}

TEST(TableReader, ProblemsOfOneFileStopAtTheLimitAndTheRestAreCounted) {
  std::string rows;
  for (int i = 0; i < kMaxProblemsPerFile + 50; ++i) rows += "   1,1.0\r\n";
  TableReading reading;
  ReadTables("t.csv", TableA({}) + rows, reading);
  EXPECT_EQ(reading.records.size(), static_cast<std::size_t>(kMaxProblemsPerFile + 50));
  ASSERT_EQ(reading.problems.size(), static_cast<std::size_t>(kMaxProblemsPerFile + 1));
  EXPECT_EQ(reading.problems.back().message, "50 more problems not listed");
}

// Report text -> the conversion engine -> table -> reader gives back what the
// generator put into each record.
std::string Converted(const std::string& report) {
  convert::MemoryRowWriter writer;
  convert::NoProgress progress;
  const convert::ConvertResult result = convert::ConvertReceivedText(report, writer, progress);
  EXPECT_EQ(result.outcome, convert::ConvertOutcome::Completed);
  return writer.text();
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

TEST(TableReader, TablesOfTheEngineReadBackTheGeneratorsValues) {
  constexpr int kRecords = 40;
  reportgen::Random random(7);
  std::vector<reportgen::ValuesA> a;
  std::vector<reportgen::ValuesB> b;
  std::vector<reportgen::ValuesC> c;
  std::string textA, textB, textC;
  for (int n = 1; n <= kRecords; ++n) {
    a.push_back(reportgen::RandomValuesA(random, n));
    textA += reportgen::SeparatorBlock(Model::A) + reportgen::RecordBodyA(a.back());
    b.push_back(reportgen::RandomValuesB(random, n));
    textB += reportgen::SeparatorBlock(Model::B) + reportgen::RecordBodyB(b.back());
    c.push_back(reportgen::RandomValuesC(random, n, 1 + n % 8));
    textC += reportgen::SeparatorBlock(Model::C) + reportgen::RecordBodyC(c.back());
  }
  TableReading reading;
  ReadTables("all.csv", Converted(textA) + Converted(textB) + Converted(textC), reading);
  EXPECT_TRUE(reading.problems.empty()) << reading.problems.front().message;
  ASSERT_EQ(reading.records.size(), 3u * kRecords);
  for (int i = 0; i < kRecords; ++i) {
    SCOPED_TRACE(i);
    const SpliceRecord& ra = reading.records[i];
    EXPECT_EQ(ra.numberText, Trimmed(a[i].number));
    EXPECT_EQ(ra.fibers[0].estimatedLoss, ParseDecimal(a[i].estimationLoss));
    EXPECT_EQ(ra.fibers[0].cutLeft, ParseDecimal(a[i].cutLeft));
    EXPECT_EQ(ra.fibers[0].offset, ParseDecimal(a[i].offset));
    EXPECT_EQ(ra.date, Trimmed(a[i].date));
    EXPECT_EQ(ra.memo, Trimmed(a[i].memo));
    EXPECT_EQ(ra.fiberType, Trimmed(a[i].fiber));

    const SpliceRecord& rb = reading.records[kRecords + i];
    EXPECT_EQ(rb.numberText, Trimmed(b[i].number));
    EXPECT_EQ(rb.condition, Trimmed(b[i].condition));
    EXPECT_EQ(rb.date, Trimmed(b[i].date));
    ASSERT_EQ(rb.fibers.size(), 4u);
    for (int f = 0; f < 4; ++f) {
      EXPECT_EQ(rb.fibers[f].estimatedLoss, ParseDecimal(b[i].fibers[f].loss));
      EXPECT_EQ(rb.fibers[f].gap, ParseDecimal(b[i].fibers[f].gap));
    }

    const SpliceRecord& rc = reading.records[2 * kRecords + i];
    EXPECT_EQ(rc.numberText, Trimmed(c[i].number));
    EXPECT_EQ(rc.memo, Trimmed(c[i].memo));
    EXPECT_EQ(rc.date, "20" + c[i].date);
    ASSERT_EQ(static_cast<int>(rc.fibers.size()), c[i].fiberCount);
    for (int f = 0; f < c[i].fiberCount; ++f) {
      EXPECT_EQ(rc.fibers[f].position, f + 1);
      EXPECT_EQ(rc.fibers[f].estimatedLoss, ParseDecimal(c[i].fibers[f].loss));
      EXPECT_EQ(rc.fibers[f].cutRight, ParseDecimal(c[i].fibers[f].cutRight));
    }
  }
}

}  // namespace
}  // namespace seamlog::report
