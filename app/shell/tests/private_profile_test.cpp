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

// A user folder with characters outside the ANSI code page (Greek and
// Cyrillic beside Latin-1): the ANSI name the settings use must reach it.
class NonAnsiFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"J\u00f6rg \u03a9\u03bc\u03ad\u03b3\u03b1 \u0416-" +
             std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  }
  void TearDown() override {
    DeleteFileW((folder + L"\\Benchkit.ini").c_str());
    RemoveDirectoryW(folder.c_str());
  }
  std::wstring folder;
};

std::wstring Wide(const std::string& ansi) {
  const int size = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
  std::wstring out(size > 0 ? size - 1 : 0, L'\0');
  if (size > 1) MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, out.data(), size);
  return out;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
  wchar_t longA[MAX_PATH] = {}, longB[MAX_PATH] = {};
  if (!GetLongPathNameW(a.c_str(), longA, MAX_PATH) || !GetLongPathNameW(b.c_str(), longB, MAX_PATH))
    return false;
  std::wstring x(longA), y(longB);
  while (!x.empty() && x.back() == L'\\') x.pop_back();
  while (!y.empty() && y.back() == L'\\') y.pop_back();
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, x.c_str(), -1, y.c_str(), -1) == CSTR_EQUAL;
}

TEST_F(NonAnsiFolder, ItsAnsiNameReachesTheSameFolder) {
  const std::string ansi = AnsiPathFor(folder);
  ASSERT_FALSE(ansi.empty());
  if (GetACP() != CP_UTF8) EXPECT_EQ(ansi.find('?'), std::string::npos) << ansi;
  EXPECT_TRUE(SameFolder(Wide(ansi), folder)) << ansi;
}

TEST_F(NonAnsiFolder, BenchkitIniLandsInItAndStaysAnsiText) {
  const std::string settings = AsAppDirectory(AnsiPathFor(folder)) + "Benchkit.ini";
  PrivateProfileStore store;
  store.WriteIniString(settings, "System", "CsvDir", "C:\\Data");
  EXPECT_EQ(store.ReadIniString(settings, "System", "CsvDir"), "C:\\Data");
  HANDLE file = CreateFileW((folder + L"\\Benchkit.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "Benchkit.ini is not in the folder";
  char bytes[256] = {};
  DWORD got = 0;
  ReadFile(file, bytes, sizeof bytes - 1, &got, nullptr);
  CloseHandle(file);
  EXPECT_NE(std::string(bytes, got).find("[System]"), std::string::npos);
  EXPECT_NE(std::string(bytes, got).find("CsvDir=C:\\Data"), std::string::npos)
      << "one byte a character, no BOM";
  EXPECT_NE(static_cast<unsigned char>(bytes[0]), 0xFFu);
}

TEST(ProgramPaths, TheAnsiProgramDirectoryIsTheWideOne) {
  const std::wstring wide = ProgramDirectoryWide();
  ASSERT_EQ(wide.back(), L'\\');
  const std::string ansi = ProgramDirectory();
  ASSERT_EQ(ansi.back(), '\\');
  EXPECT_TRUE(SameFolder(Wide(ansi), wide));
}

}  // namespace
}  // namespace seamlog::shell
