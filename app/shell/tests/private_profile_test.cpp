// The settings file through the real private-profile functions.
#include "private_profile.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace seamlog::shell {
namespace {

class PrivateProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    path = std::string(directory) + "seamlog_profile_" + std::to_string(GetCurrentProcessId()) + ".ini";
    DeleteFileA(path.c_str());
  }
  void TearDown() override { DeleteFileA(path.c_str()); }
  void WriteFile(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  std::string ReadFile() {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string path;
  PrivateProfileStore store;
};

TEST_F(PrivateProfileTest, AMissingFileReadsAsEmpty) {
  EXPECT_EQ(store.ReadIniString(path, "System", "CsvDir"), "");
}

TEST_F(PrivateProfileTest, AMissingKeyReadsAsEmpty) {
  WriteFile("[System]\r\nOther=1\r\n");
  EXPECT_EQ(store.ReadIniString(path, "System", "CsvDir"), "");
}

TEST_F(PrivateProfileTest, WritingCsvDirKeepsTheOtherKeysAndSections) {
  WriteFile("[Other]\r\nColour=blue\r\n[System]\r\nSpeed=9600\r\n");
  store.WriteIniString(path, "System", "CsvDir", "C:\\Data");
  EXPECT_EQ(store.ReadIniString(path, "System", "CsvDir"), "C:\\Data");
  EXPECT_EQ(store.ReadIniString(path, "System", "Speed"), "9600");
  EXPECT_EQ(store.ReadIniString(path, "Other", "Colour"), "blue");
}

TEST_F(PrivateProfileTest, TheFirstWriteCreatesTheFileAndItsSection) {
  store.WriteIniString(path, "System", "CsvDir", "C:");
  EXPECT_NE(ReadFile().find("[System]"), std::string::npos);
  EXPECT_EQ(store.ReadIniString(path, "System", "CsvDir"), "C:");
}

TEST_F(PrivateProfileTest, AValueOf2000CharactersReadsBackAsItsFirst1023) {
  const std::string value(2000, 'd');
  WriteFile("[System]\r\nCsvDir=" + value + "\r\n");
  EXPECT_EQ(store.ReadIniString(path, "System", "CsvDir"), value.substr(0, 1023));
}

TEST(ProgramDirectory, EndsInABackslash) {
  const std::string directory = ProgramDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), '\\');
  EXPECT_EQ(directory.find("\\\\", 2), std::string::npos);
}

}  // namespace
}  // namespace seamlog::shell
