#include "store/staged_output.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

namespace pstorian {
namespace fs = std::filesystem;
namespace {

// Longest file name most Linux file systems take, in bytes.
constexpr std::size_t kNameMax = 255;

// The first `limit` bytes of `text`, not cutting a UTF-8 sequence in two.
std::string cut_utf8(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

std::string hex64(std::uint64_t value) {
  std::array<char, 17> text{};
  std::snprintf(text.data(), text.size(), "%016llx", static_cast<unsigned long long>(value));
  return text.data();
}

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

// The process id a lock file holds, as its holder wrote it; 0 when unreadable.
long holder_of(int fd) {
  std::array<char, 32> text{};
  const ssize_t n = ::pread(fd, text.data(), text.size() - 1, 0);
  if (n <= 0) return 0;
  return std::strtol(text.data(), nullptr, 10);
}

bool same_inode(int fd, const fs::path& path) {
  struct stat a {};
  struct stat b {};
  return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Copies all of `from` to `to`: shared extents where the file system can (a copy costs no
// space then), else the kernel's copy, else reads and writes.
bool copy_all(int from, int to, off_t size) {
  if (::ioctl(to, FICLONE, from) == 0) return true;
  off_t done = 0;
  while (done < size) {
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr,
                                        static_cast<std::size_t>(size - done), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  if (done == size) return true;
  if (::lseek(from, done, SEEK_SET) < 0 || ::lseek(to, done, SEEK_SET) < 0) return false;
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!posix::write_all(to, std::span(buffer).first(static_cast<std::size_t>(n)))) return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The lock

fs::path lock_path_for(const fs::path& output) {
  const std::string name = output.filename().string();
  std::string lock = "." + name + ".lock";
  if (lock.size() > kNameMax) lock = "." + cut_utf8(name, 200) + "-" + hex64(fnv1a(name)) + ".lock";
  return posix::folder_of(output) / lock;
}

std::optional<OutputLock> OutputLock::acquire(const fs::path& output, std::string& error,
                                              bool* held) {
  if (held) *held = false;
  const fs::path path = lock_path_for(output);
  // A holder removes the file as it lets go, so the file locked here may have lost its name
  // just before: then the lock is taken again on what the name stands for now.
  for (int attempt = 0; attempt < 100; ++attempt) {
    posix::Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.valid()) {
      error = posix::failure_text("cannot lock the output file; cannot create", path, errno);
      return std::nullopt;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) {
        error = posix::failure_text("cannot lock the output file; cannot lock", path, errno);
        return std::nullopt;
      }
      if (held) *held = true;
      const long holder = holder_of(fd.get());
      error = "another repair is writing " + output.string() +
              (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
              "; it was left to finish. Wait for it to end, or choose another output folder";
      return std::nullopt;
    }
    if (!same_inode(fd.get(), path)) continue;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
      const std::string pid = std::to_string(::getpid()) + "\n";
      if (::ftruncate(fd.get(), 0) == 0)
        (void)!::pwrite(fd.get(), pid.data(), pid.size(), 0);
    }
    return OutputLock(path, std::move(fd));
  }
  error = "cannot lock the output file " + output.string() + ": its lock file keeps changing";
  return std::nullopt;
}

OutputLock& OutputLock::operator=(OutputLock&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
  }
  return *this;
}

OutputLock::~OutputLock() {
  release();
}

void OutputLock::release() {
  if (!fd_.valid()) return;
  // Removed while still held, and only while the name still stands for this file: a run
  // that opened it and waits for it checks, once it holds it, that the name still does.
  if (same_inode(fd_.get(), path_)) ::unlink(path_.c_str());
  fd_.close();
}

// ---------------------------------------------------------------------------------------
// The staging file

fs::path staging_path_for(const fs::path& output, unsigned n) {
  const std::string suffix =
      " (incomplete" + (n > 1 ? " " + std::to_string(n) : std::string()) + ")";
  const std::string extension = output.extension().string();
  const std::string stem = output.stem().string();
  const std::size_t room = kNameMax - std::min(kNameMax, suffix.size() + extension.size());
  return posix::folder_of(output) / (cut_utf8(stem, room) + suffix + extension);
}

StagedOutput::StagedOutput(fs::path output, ExistingOutput existing, QuestionAsker& asker,
                           std::shared_ptr<OutputLock> lock)
    : output_(std::move(output)), existing_(existing), asker_(asker), lock_(std::move(lock)) {}

StagedOutput::~StagedOutput() = default;

StageOutcome StagedOutput::fail(const std::string& what, const fs::path& path, int err) {
  error_ = posix::failure_text(what, path, err);
  return StageOutcome::kFailed;
}

std::optional<StagedOutput::Identity> StagedOutput::identity_of(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return Identity{st.st_dev, st.st_ino, st.st_size,
                  std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

StageOutcome StagedOutput::prepare(std::span<const std::uint8_t> empty_image) {
  error_.clear();
  if (!lock_) {
    bool held = false;
    std::optional<OutputLock> lock = OutputLock::acquire(output_, error_, &held);
    if (!lock) return held ? StageOutcome::kLocked : StageOutcome::kFailed;
    lock_ = std::make_shared<OutputLock>(std::move(*lock));
  }

  bool copy = false;
  switch (posix::name_kind(output_)) {
    case posix::NameKind::kOther:
      error_ = output_.string() + " is " + posix::kind_text(output_) +
               ", not a regular file: it was left as it is";
      return StageOutcome::kNotRegular;
    case posix::NameKind::kRegular:
      existed_ = true;
      if (existing_ == ExistingOutput::kKeep) {
        copy = true;
      } else if (existing_ == ExistingOutput::kReplace ||
                 asker_.AskYesNo(kOverwriteQuestion, kMessageCaption) == Answer::kYes) {
        replace_ = true;
      } else {
        return StageOutcome::kDeclined;
      }
      break;
    case posix::NameKind::kNone:
      break;
  }

  posix::Fd fd;
  if (!create_staging(fd)) return fail("cannot create", staging_, errno);
  const bool written = copy ? copy_existing(fd.get()) : posix::write_all(fd.get(), empty_image);
  if (!written || ::fsync(fd.get()) != 0 || fd.close() != 0) {
    const int err = errno;
    ::unlink(staging_.c_str());
    if (copy && !error_.empty()) return StageOutcome::kFailed;
    return fail("cannot write", staging_, err);
  }
  posix::sync_folder(staging_);
  staged_ = true;
  return StageOutcome::kStaged;
}

bool StagedOutput::create_staging(posix::Fd& fd) {
  for (unsigned n = 1; n <= 1000; ++n) {
    staging_ = staging_path_for(output_, n);
    fd = posix::Fd(::open(staging_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) return true;
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

bool StagedOutput::copy_existing(int to) {
  posix::Fd from(::open(output_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!from.valid() || ::fstat(from.get(), &st) != 0) {
    error_ = posix::failure_text("cannot read", output_, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error_ = output_.string() + " is not a regular file";
    errno = EINVAL;
    return false;
  }
  copied_ = Identity{st.st_dev, st.st_ino, st.st_size,
                     std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
  if (!copy_all(from.get(), to, st.st_size)) {
    const int err = errno;
    error_ = posix::failure_text("cannot copy " + output_.string() + " to", staging_, err);
    copied_.reset();
    errno = err;
    return false;
  }
  return true;
}

bool StagedOutput::replace_allowed_now() {
  if (!copied_) return replace_;
  // Adding to the output replaces it with the copy it was added to: only when no one else
  // changed it meanwhile, or their change would be lost.
  const std::optional<Identity> now = identity_of(output_);
  return now && now->device == copied_->device && now->inode == copied_->inode &&
         now->size == copied_->size && now->modified_ns == copied_->modified_ns;
}

PublishOutcome StagedOutput::publish() {
  error_.clear();
  if (!staged_) return PublishOutcome::kFailed;
  const std::string kept = "; the recovered file was kept as " + staging_.string();
  int rc = 0;
  switch (posix::name_kind(output_)) {
    case posix::NameKind::kOther:
      error_ = output_.string() + " became " + posix::kind_text(output_) +
               " during the repair and was left as it is" + kept;
      return PublishOutcome::kKeptAside;
    case posix::NameKind::kRegular:
      if (!replace_allowed_now()) {
        error_ = output_.string() +
                 (copied_ ? " changed during the repair and was left as it is"
                          : " appeared during the repair and was left as it is") +
                 kept;
        return PublishOutcome::kKeptAside;
      }
      rc = ::rename(staging_.c_str(), output_.c_str());
      break;
    case posix::NameKind::kNone:
      rc = posix::rename_no_replace(staging_, output_);
      if (rc != 0 && errno == EEXIST) {
        error_ = output_.string() + " appeared during the repair and was left as it is" + kept;
        return PublishOutcome::kKeptAside;
      }
      break;
  }
  if (rc != 0) {
    error_ = posix::failure_text("cannot rename " + staging_.string() + " to", output_, errno) +
             kept;
    return PublishOutcome::kFailed;
  }
  staged_ = false;
  posix::sync_folder(output_);
  return PublishOutcome::kPublished;
}

void StagedOutput::keep_incomplete() {
  staged_ = false;
}

void StagedOutput::discard() {
  if (staged_) ::unlink(staging_.c_str());
  staged_ = false;
}

}  // namespace pstorian
