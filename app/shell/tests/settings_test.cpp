#include "seamlog/shell/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <tuple>

namespace seamlog::shell {
namespace {

struct SplitCase {
  const char* path;
  SplitPath expected;
};

class SplitFilePathTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitFilePathTest, CutsAtTheLastBackslashAndTheLastDot) {
  const auto parts = SplitFilePath(GetParam().path);
  ASSERT_TRUE(parts.has_value());
  EXPECT_EQ(*parts, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SplitFilePathTest,
    ::testing::Values(
        SplitCase{"C:\\Data\\run1.CSV", {"C:\\Data\\run1.CSV", "C:\\Data", "run1", ".csv"}},
        SplitCase{"C:\\a.b\\run.old.csv", {"C:\\a.b\\run.old.csv", "C:\\a.b", "run.old", ".csv"}},
        SplitCase{"C:\\x.csv", {"C:\\x.csv", "C:", "x", ".csv"}},
        SplitCase{"C:\\Data\\.csv", {"C:\\Data\\.csv", "C:\\Data", "", ".csv"}},
        SplitCase{"\\\\server\\share\\t.Csv", {"\\\\server\\share\\t.Csv", "\\\\server\\share", "t", ".csv"}},
        SplitCase{"C:\\Data\\run.", {"C:\\Data\\run.", "C:\\Data", "run", "."}}),
    [](const auto& info) { return "Path" + std::to_string(info.index); });

TEST(SplitFilePath, APathWithoutBackslashOrANameWithoutDotCannotBeSplit) {
  for (const char* path : {"", "run.csv", "C:run.csv", "C:\\Data\\run", "C:\\a.b\\run", "C:\\Data\\"}) {
    EXPECT_FALSE(SplitFilePath(path).has_value()) << path;
  }
}

TEST(AsAppDirectory, AppendsOneBackslashUnlessItIsAlreadyThere) {
  EXPECT_EQ(AsAppDirectory("C:\\Program Files\\Seamlog"), "C:\\Program Files\\Seamlog\\");
  EXPECT_EQ(AsAppDirectory("C:\\"), "C:\\");
}

class MapIni : public IniStore {
 public:
  std::string ReadIniString(const std::string& file, const std::string& section,
                            const std::string& key) override {
    reads.push_back(file + "|" + section + "|" + key);
    auto it = values.find({file, section, key});
    return it == values.end() ? std::string() : it->second;
  }
  void WriteIniString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& value) override {
    values[{file, section, key}] = value;
  }
  std::map<std::tuple<std::string, std::string, std::string>, std::string> values;
  std::vector<std::string> reads;
};

TEST(Settings, TheSettingsFileLiesInTheProgramDirectory) {
  MapIni ini;
  EXPECT_EQ(Settings(ini, "C:\\Seamlog").SettingsFilePath(), "C:\\Seamlog\\Benchkit.ini");
  EXPECT_EQ(Settings(ini, "D:\\").SettingsFilePath(), "D:\\Benchkit.ini");
}

TEST(Settings, LoadingReadsCsvDirOfSectionSystem) {
  MapIni ini;
  ini.values[{"C:\\S\\Benchkit.ini", "System", "CsvDir"}] = "C:\\Data";
  Settings settings(ini, "C:\\S");
  settings.LoadSettings();
  EXPECT_EQ(settings.CsvDir(), "C:\\Data");
  EXPECT_THAT(ini.reads, ::testing::ElementsAre("C:\\S\\Benchkit.ini|System|CsvDir"));
}

TEST(Settings, AMissingKeyLoadsAsAnEmptyCsvDir) {
  MapIni ini;
  ini.values[{"C:\\S\\Benchkit.ini", "System", "Other"}] = "x";
  Settings settings(ini, "C:\\S");
  settings.LoadSettings();
  EXPECT_EQ(settings.CsvDir(), "");
}

TEST(Settings, RememberingACsvFileKeepsItsPartsAndWritesOnlyCsvDir) {
  MapIni ini;
  ini.values[{"C:\\S\\Benchkit.ini", "System", "Other"}] = "kept";
  Settings settings(ini, "C:\\S");
  ASSERT_TRUE(settings.SplitFilePath("C:\\Data\\run1.CSV"));
  EXPECT_TRUE(settings.RememberFileLocation("csv"));
  EXPECT_EQ(settings.CsvDir(), "C:\\Data");
  EXPECT_EQ(settings.ChosenFilePath(), "C:\\Data\\run1.CSV");
  EXPECT_EQ(settings.CsvParts().extension, ".csv");
  EXPECT_EQ(ini.values.size(), 2u);
  EXPECT_EQ((ini.values[{"C:\\S\\Benchkit.ini", "System", "CsvDir"}]), "C:\\Data");
  EXPECT_EQ((ini.values[{"C:\\S\\Benchkit.ini", "System", "Other"}]), "kept");
}

TEST(Settings, AnotherKindThanCsvChangesNothing) {
  MapIni ini;
  Settings settings(ini, "C:\\S");
  ASSERT_TRUE(settings.SplitFilePath("C:\\Data\\run1.txt"));
  EXPECT_TRUE(settings.RememberFileLocation("CSV"));
  EXPECT_EQ(settings.CsvDir(), "");
  EXPECT_EQ(settings.ChosenFilePath(), "");
  EXPECT_TRUE(ini.values.empty());
}

TEST(Settings, AFailedSplitKeepsThePreviousSplitPath) {
  MapIni ini;
  Settings settings(ini, "C:\\S");
  ASSERT_TRUE(settings.SplitFilePath("C:\\Data\\run1.csv"));
  EXPECT_FALSE(settings.SplitFilePath("C:\\Data\\noext"));
  EXPECT_EQ(settings.LastSplit().fullPath, "C:\\Data\\run1.csv");
}

TEST(Settings, ClearingFileNamesKeepsCsvDir) {
  MapIni ini;
  Settings settings(ini, "C:\\S");
  settings.SplitFilePath("C:\\Data\\run1.csv");
  settings.RememberFileLocation("csv");
  settings.ClearFileNames();
  EXPECT_EQ(settings.ChosenFilePath(), "");
  EXPECT_EQ(settings.LastSplit(), SplitPath{});
  EXPECT_EQ(settings.CsvDir(), "C:\\Data");
}

TEST(Settings, AChosenFileThatCannotBeSplitIsRefusedAndKeepsCsvDir) {
  for (const char* path : {"run1.csv", "C:\\Data\\run1", "C:\\a.b\\noext"}) {
    SCOPED_TRACE(path);
    MapIni ini;
    Settings settings(ini, "C:\\S");
    ASSERT_TRUE(settings.RememberChosenFile("D:\\Old\\x.csv"));
    ini.values.clear();
    EXPECT_FALSE(settings.RememberChosenFile(path));
    EXPECT_EQ(settings.CsvDir(), "D:\\Old");
    EXPECT_TRUE(ini.values.empty());
  }
}

TEST(Settings, AChosenFileInADriveRootRemembersTheBareDrive) {
  MapIni ini;
  Settings settings(ini, "C:\\S");
  ASSERT_TRUE(settings.RememberChosenFile("E:\\x.csv"));
  EXPECT_EQ(settings.CsvDir(), "E:");
  EXPECT_EQ((ini.values[{"C:\\S\\Benchkit.ini", "System", "CsvDir"}]), "E:");
}

}  // namespace
}  // namespace seamlog::shell
