#include "engine/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace pstorian {
namespace {

std::int64_t modified_ns_of(const struct stat& st) {
  return std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

std::optional<SourceFile> SourceFile::open(const std::filesystem::path& path) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer before the
  // regular-file test below could refuse it. On a regular file the flag changes nothing.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  const bool stat_ok = ::fstat(fd, &st) == 0;
  if (!stat_ok || !S_ISREG(st.st_mode)) {
    const int reason = stat_ok ? 0 : errno;  // 0: not a failure, a file of another kind
    ::close(fd);
    errno = reason;
    return std::nullopt;
  }
  return SourceFile(fd, static_cast<std::uint64_t>(st.st_size), modified_ns_of(st));
}

bool SourceFile::changed() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return true;
  return static_cast<std::uint64_t>(st.st_size) != size_ || modified_ns_of(st) != modified_ns_;
}

SourceFile::SourceFile(SourceFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), modified_ns_(other.modified_ns_) {}

SourceFile& SourceFile::operator=(SourceFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    modified_ns_ = other.modified_ns_;
  }
  return *this;
}

SourceFile::~SourceFile() {
  if (fd_ >= 0) ::close(fd_);
}

void SourceFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    // Nothing beyond the size taken at opening is read, so a file that grows meanwhile
    // gives the same result as one that does not.
    if (at >= size_) break;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, size_ - at));
    const ssize_t got = ::pread(fd_, out.data() + done, want, static_cast<off_t>(at));
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) break;  // the file shrank
    // An I/O error: this 512-byte page reads as zeros, the rest is tried again.
    const std::size_t skip = std::min<std::size_t>(out.size() - done, 512 - (at % 512));
    std::memset(out.data() + done, 0, skip);
    done += skip;
  }
  if (done < out.size()) std::memset(out.data() + done, 0, out.size() - done);
}

void MemorySource::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t n = 0;
  if (offset < bytes_.size())
    n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), bytes_.size() - offset));
  if (n > 0) std::memcpy(out.data(), bytes_.data() + offset, n);
  if (n < out.size()) std::memset(out.data() + n, 0, out.size() - n);
}

}  // namespace pstorian
