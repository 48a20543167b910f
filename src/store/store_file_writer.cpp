#include "store/store_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "store/empty_store_image.h"

namespace pstorian {
namespace {

// Owns a descriptor; closes it (ignoring the result) unless it was closed explicitly.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Creates a new hidden file next to `output`; returns the descriptor (or -1 with errno set)
// and the name it used.
int create_temporary(const std::filesystem::path& output, std::filesystem::path& name) {
  // The name's first 200 bytes keep the temporary name within the 255-byte limit.
  const std::string stem = "." + output.filename().string().substr(0, 200) + ".";
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    name = output.parent_path() /
           (stem + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp");
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Writes all of `data`, going on after short writes; false with errno set on failure.
bool write_all(int fd, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

// Gives `temp` the name `output` unless that exists (EEXIST). Hard links are the portable
// way; file systems without them get the no-replace rename.
int publish(const std::filesystem::path& temp, const std::filesystem::path& output) {
  if (::link(temp.c_str(), output.c_str()) == 0) {
    ::unlink(temp.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) return -1;
  return ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, output.c_str(), RENAME_NOREPLACE);
}

bool name_exists(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Makes the new name durable; a folder that cannot be opened or synced (some file systems
// refuse) leaves that to the system, as before.
void sync_folder(const std::filesystem::path& output) {
  const std::filesystem::path folder =
      output.parent_path().empty() ? std::filesystem::path(".") : output.parent_path();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

StoreFileWriter::StoreFileWriter(QuestionAsker& asker, std::filesystem::path output,
                                 ExistingOutput existing)
    : asker_(asker), output_(std::move(output)), existing_(existing) {}

bool StoreFileWriter::WriteEmptyStore(FileForm form) {
  return Write(EmptyStoreImage(form)) == WriteOutcome::kWritten;
}

WriteOutcome StoreFileWriter::fail(const std::string& what, int err) {
  error_ = what + ": " + std::strerror(err);
  return outcome_ = WriteOutcome::kFailed;
}

WriteOutcome StoreFileWriter::Write(std::span<const std::uint8_t> image) {
  error_.clear();
  // Decided before anything is written, so that No and kKeep leave no trace at all.
  bool replace = existing_ == ExistingOutput::kReplace;
  auto settle_existing = [&]() -> bool {
    if (existing_ == ExistingOutput::kKeep) {
      outcome_ = WriteOutcome::kKept;
      return false;
    }
    if (existing_ == ExistingOutput::kAsk &&
        asker_.AskYesNo(kOverwriteQuestion, kMessageCaption) != Answer::kYes) {
      outcome_ = WriteOutcome::kDeclined;
      return false;
    }
    replace = true;
    return true;
  };
  if (!replace && name_exists(output_) && !settle_existing()) return outcome_;

  std::filesystem::path temp;
  const int fd = create_temporary(output_, temp);
  if (fd < 0) return fail("cannot create " + output_.string(), errno);
  Fd file(fd);
  if (!write_all(file.get(), image) || ::fsync(file.get()) != 0 || file.close() != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return fail("cannot write " + output_.string(), err);
  }
  for (;;) {
    if (replace) {
      if (::rename(temp.c_str(), output_.c_str()) == 0) break;
      const int err = errno;
      ::unlink(temp.c_str());
      return fail("cannot replace " + output_.string(), err);
    }
    if (publish(temp, output_) == 0) break;
    const int err = errno;
    // A file of that name appeared while the image was written: settle it as above.
    if (err != EEXIST || !settle_existing()) {
      ::unlink(temp.c_str());
      if (err != EEXIST) return fail("cannot create " + output_.string(), err);
      return outcome_;
    }
  }
  sync_folder(output_);
  return outcome_ = WriteOutcome::kWritten;
}

}  // namespace pstorian
