#include "sim_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace portline::sim {
namespace {

TEST(SimSettings, AFullFileIsReadWithItsComments) {
  const auto parsed = ParseSimSettings(
      "; demo splicer\r\n"
      "[Splicer]\r\n"
      "ReportFile = samples\\model-a.txt\r\n"
      "BytesPerRead=17\r\n"
      "refusecreates=2\r\n"
      "DisconnectAfterBytes=4096\r\n"
      "StallAtByte=100\r\n"
      "CallLog=calls.log\r\n");
  ASSERT_TRUE(parsed.Usable()) << parsed.error;
  EXPECT_EQ(parsed.settings.reportFile, "samples\\model-a.txt");
  EXPECT_EQ(parsed.settings.bytesPerRead, 17);
  EXPECT_EQ(parsed.settings.refuseCreates, 2);
  EXPECT_EQ(parsed.settings.disconnectAfterBytes, 4096);
  EXPECT_EQ(parsed.settings.stallAtByte, 100);
  EXPECT_EQ(parsed.settings.callLog, "calls.log");
}

TEST(SimSettings, OnlyTheReportIsRequired) {
  const auto parsed = ParseSimSettings("[Splicer]\nReportFile=r.txt\n");
  ASSERT_TRUE(parsed.Usable());
  EXPECT_EQ(parsed.settings.bytesPerRead, 64);
  EXPECT_EQ(parsed.settings.refuseCreates, 0);
  EXPECT_EQ(parsed.settings.disconnectAfterBytes, 0);
  EXPECT_EQ(parsed.settings.callLog, "");
}

struct BadCase {
  const char* name;
  const char* ini;
  const char* says;
};

class BadSettings : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadSettings, AreRefusedWithAReasonNamingTheSetting) {
  const auto parsed = ParseSimSettings(GetParam().ini);
  EXPECT_FALSE(parsed.Usable());
  EXPECT_NE(parsed.error.find(GetParam().says), std::string::npos) << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadSettings,
    ::testing::Values(BadCase{"NoReportFile", "[Splicer]\nBytesPerRead=64\n", "ReportFile"},
                      BadCase{"NoSplicerSection", "ReportFile=r.txt\n", "ReportFile"},
                      BadCase{"ZeroBytesPerRead", "[Splicer]\nReportFile=r\nBytesPerRead=0\n", "BytesPerRead"},
                      BadCase{"BytesPerReadOver64", "[Splicer]\nReportFile=r\nBytesPerRead=65\n", "BytesPerRead"},
                      BadCase{"BytesPerReadNotANumber", "[Splicer]\nReportFile=r\nBytesPerRead=8x\n", "BytesPerRead"},
                      BadCase{"NegativeRefuseCreates", "[Splicer]\nReportFile=r\nRefuseCreates=-1\n", "RefuseCreates"},
                      BadCase{"DisconnectAfterBytesNotANumber", "[Splicer]\nReportFile=r\nDisconnectAfterBytes=lots\n", "DisconnectAfterBytes"},
                      BadCase{"NegativeStallAtByte", "[Splicer]\nReportFile=r\nStallAtByte=-5\n", "StallAtByte"},
                      BadCase{"UnknownSpeed", "[Splicer]\nReportFile=r\nSpeed=9\n", "Speed"},
                      BadCase{"ALineWithoutEquals", "[Splicer]\nReportFile=r\njust words\n", "just words"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace portline::sim
