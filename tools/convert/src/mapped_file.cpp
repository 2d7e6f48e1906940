#include "mapped_file.h"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define SEAMLOG_CAN_MAP 1
#endif

namespace seamlog::tools {

#ifdef SEAMLOG_CAN_MAP

bool MappedFile::Map(const std::string& path, std::size_t maxBytes) {
  Unmap();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<unsigned long long>(info.st_size) > maxBytes) {
    ::close(fd);
    return false;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;  // every page at once, not a fault for each
#endif
  void* data = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
  ::close(fd);  // the mapping keeps the file
  if (data == MAP_FAILED) return false;
  data_ = static_cast<const char*>(data);
  size_ = size;
  return true;
}

void MappedFile::Unmap() {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

#else

bool MappedFile::Map(const std::string&, std::size_t) { return false; }
void MappedFile::Unmap() {}

#endif

}  // namespace seamlog::tools
