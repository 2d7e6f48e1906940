#pragma once
// The words for a C library error number, for messages that name a file.
#include <string>

namespace seamlog::save {

// The system's description of errorNumber (an errno value); "unknown error"
// for 0, which a failed C library call may leave behind.
std::string DescribeErrno(int errorNumber);

}  // namespace seamlog::save
