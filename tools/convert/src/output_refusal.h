#pragma once
// Whether OUTPUT may take a table. A file that is not where a table belongs
// is refused with its own reason, before anything is read or written.
#include <cstddef>
#include <string>
#include <string_view>

namespace seamlog::tools {

// How much of an existing OUTPUT is read to tell a report from a table.
inline constexpr std::size_t kOutputHeadBytes = 64 * 1024;

// Empty when output may take the table, else why not, naming it. force lets
// an OUTPUT that looks like a splicer report take the table all the same.
std::string RefuseOutput(const std::string& input, const std::string& output, bool force);

// True when the first bytes of a file hold a line that begins with the
// 31-hyphen separator of a splicer record. No table row begins with one.
bool LooksLikeReport(std::string_view head);

// "standard output" or "standard error" when path names the file one of this
// process's standard streams writes to; empty otherwise.
std::string StandardStreamAt(const std::string& path);

}  // namespace seamlog::tools
