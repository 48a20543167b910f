#include "engine/source_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pstorian {

SourceFile::SourceFile(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

SourceFile::~SourceFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::vector<std::uint8_t>> SourceFile::read(std::uint64_t offset,
                                                          std::uint32_t length) const {
  if (fd_ < 0 || offset > size_ || size_ - offset < length) return std::nullopt;
  std::vector<std::uint8_t> out(length);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n =
        ::pread(fd_, out.data() + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += static_cast<std::size_t>(n);
  }
  return out;
}

}  // namespace pstorian
