#pragma once
// Files as the report needs them, on Windows and POSIX alike; the C++
// filesystem library is not used, so that the 32-bit Windows images import
// only what Windows XP has.
#include <string>

namespace seamlog::report {

bool IsFolder(const std::string& path);

// Both names lead to one existing file.
bool SameFile(const std::string& a, const std::string& b);

// Renames from over to, replacing to when it exists; false on failure.
bool ReplaceFile(const std::string& from, const std::string& to);

}  // namespace seamlog::report
