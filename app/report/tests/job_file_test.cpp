#include "seamlog/report/job_file.h"

#include <gtest/gtest.h>

namespace seamlog::report {
namespace {

TEST(JobFile, KeysGiveTheJobDetailsAndLimits) {
  std::vector<ReadProblem> problems;
  const JobFile file =
      ParseJobFile("job.ini",
                   "; the job\r\n[Job]\r\nJob=Ring 4\r\nlocation = Main St\r\nOPERATOR=A. Splicer\r\n"
                   "Customer=City Fibre\r\nNotes=first\r\nNotes=second\r\nLimit=0.20\r\n"
                   "Warning=0.10\r\nAverageLimit=0.08\r\n",
                   problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(file.job.job, "Ring 4");
  EXPECT_EQ(file.job.location, "Main St");
  EXPECT_EQ(file.job.operatorName, "A. Splicer");
  EXPECT_EQ(file.job.customer, "City Fibre");
  EXPECT_EQ(file.job.notes, "first second");
  EXPECT_EQ(file.limit, ParseDecimal("0.20"));
  EXPECT_EQ(file.warning, ParseDecimal("0.10"));
  EXPECT_EQ(file.averageLimit, ParseDecimal("0.08"));
}

TEST(JobFile, LinesItCannotUseAreProblemsWithTheirLines) {
  std::vector<ReadProblem> problems;
  const JobFile file =
      ParseJobFile("job.ini", "[Other]\nColour=red\nno equals sign\nLimit=abc\nWarning=0\nJob=x\n", problems);
  ASSERT_EQ(problems.size(), 5u);
  EXPECT_EQ(problems[0].line, 1);
  EXPECT_EQ(problems[1].line, 2);
  EXPECT_NE(problems[1].message.find("unknown key 'Colour'"), std::string::npos);
  EXPECT_EQ(problems[2].line, 3);
  EXPECT_EQ(problems[3].line, 4);
  EXPECT_NE(problems[3].message.find("Limit needs a loss in dB"), std::string::npos);
  EXPECT_EQ(problems[4].line, 5);
  EXPECT_FALSE(file.limit);
  EXPECT_FALSE(file.warning);
  EXPECT_EQ(file.job.job, "x");
}

}  // namespace
}  // namespace seamlog::report
