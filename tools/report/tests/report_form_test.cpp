#include "report_form.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace seamlog::tools {
namespace {

namespace fs = std::filesystem;

TEST(ReportForm, TheReportGoesBesideTheFirstTable) {
  EXPECT_EQ(ReportPathBeside("C:\\jobs\\day1.csv"), "C:\\jobs\\day1-report.html");
  EXPECT_EQ(ReportPathBeside("/tmp/a.b/splices"), "/tmp/a.b/splices-report.html");
  EXPECT_EQ(ReportPathBeside("day.1.csv"), "day.1-report.html");
  EXPECT_EQ(ReportPathBeside("C:\\jobs\\.csv"),
            "C:\\jobs\\.csv-report.html");  // a name that is all extension
}

TEST(ReportForm, TheOpenDialogGivesOnePathOrAFolderAndNames) {
  const char one[] = "C:\\jobs\\a.csv\0";
  EXPECT_EQ(FilesOfOpenDialog(one, sizeof one), (std::vector<std::string>{"C:\\jobs\\a.csv"}));
  const char several[] = "C:\\jobs\0a.csv\0b.csv\0";
  EXPECT_EQ(FilesOfOpenDialog(several, sizeof several),
            (std::vector<std::string>{"C:\\jobs\\a.csv", "C:\\jobs\\b.csv"}));
  const char root[] = "C:\\\0a.csv\0b.csv\0";
  EXPECT_EQ(FilesOfOpenDialog(root, sizeof root), (std::vector<std::string>{"C:\\a.csv", "C:\\b.csv"}));
  EXPECT_TRUE(FilesOfOpenDialog("", 1).empty());
}

TEST(ReportForm, TablesAddedTwiceAreListedOnce) {
  std::vector<std::string> tables{"a.csv"};
  EXPECT_EQ(AddTables(tables, {"b.csv", "a.csv", "b.csv", ""}), 1);
  EXPECT_EQ(tables, (std::vector<std::string>{"a.csv", "b.csv"}));
}

TEST(ReportForm, TheRequestTakesTheFieldsOverTheJobFileBesideTheFirstTable) {
  const fs::path dir = fs::temp_directory_path() / "seamlog-report-form-test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "job.ini")
      << "[Job]\nJob=From file\nCustomer=City Fibre\nWarning=0.12\nAverageLimit=0.1\n";
  ReportForm form;
  form.tables = {(dir / "day1.csv").string(), "other.csv"};
  form.operatorName = "A. Splicer";
  form.limit = "0,25";
  report::ReportRequest request;
  std::string problem;
  ASSERT_TRUE(RequestOf(form, request, problem)) << problem;
  EXPECT_EQ(request.output, (dir / "day1-report.html").string());
  EXPECT_EQ(request.tables, form.tables);
  EXPECT_EQ(request.job.job, "From file");
  EXPECT_EQ(request.job.customer, "City Fibre");
  EXPECT_EQ(request.job.operatorName, "A. Splicer");
  EXPECT_EQ(request.limits.limit, report::ParseDecimal("0.25"));
  EXPECT_EQ(request.limits.warning, report::ParseDecimal("0.12"));
  EXPECT_EQ(request.limits.averageLimit, report::ParseDecimal("0.1"));

  form.job = "Typed";
  form.limit = "0.10";  // tighter than the warning of the job file
  ASSERT_TRUE(RequestOf(form, request, problem));
  EXPECT_EQ(request.job.job, "Typed");
  EXPECT_EQ(request.limits.warning, report::ParseDecimal("0.05"));

  form.limit = "abc";
  EXPECT_FALSE(RequestOf(form, request, problem));
  EXPECT_NE(problem.find("such as 0.30"), std::string::npos);
  form.tables.clear();
  EXPECT_FALSE(RequestOf(form, request, problem));
  EXPECT_NE(problem.find("Choose the tables"), std::string::npos);
  fs::remove_all(dir);
}

TEST(ReportForm, TheOutcomeLineSaysWhereTheReportIsOrWhyNone) {
  report::ReportRequest request;
  request.output = "C:\\jobs\\day1-report.html";
  report::ReportOutcome outcome;
  outcome.failure = "no splice record was read from the tables given";
  EXPECT_EQ(OutcomeText(request, outcome), "No report: no splice record was read from the tables given.");
  outcome.written = true;
  outcome.content.summary.splices = 12;
  outcome.content.summary.fail = 2;
  outcome.content.reading.problems.resize(1);
  EXPECT_EQ(
      OutcomeText(request, outcome),
      "Report written: C:\\jobs\\day1-report.html (12 splices, 2 over the limit); 1 problem in the tables, "
      "listed in the report.");
}

}  // namespace
}  // namespace seamlog::tools
