#include "seamlog/save/error_text.h"

#include <system_error>

namespace seamlog::save {

std::string DescribeErrno(int errorNumber) {
  return errorNumber != 0 ? std::generic_category().message(errorNumber) : "unknown error";
}

}  // namespace seamlog::save
