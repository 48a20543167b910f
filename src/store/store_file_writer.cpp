#include "store/store_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "store/empty_store_image.h"
#include "store/posix_file.h"

namespace pstorian {
namespace {

using posix::Fd;
using posix::write_all;


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
  switch (posix::name_kind(output_)) {
    case posix::NameKind::kOther:
      // A device node or a FIFO named like the output is never turned into a store file.
      error_ = output_.string() + " is " + posix::kind_text(output_) +
               ", not a regular file: it was left as it is";
      return outcome_ = WriteOutcome::kFailed;
    case posix::NameKind::kRegular:
      if (!replace && !settle_existing()) return outcome_;
      break;
    case posix::NameKind::kNone:
      break;
  }

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
    if (posix::rename_no_replace(temp, output_) == 0) break;
    const int err = errno;
    // A file of that name appeared while the image was written: settle it as above.
    if (err != EEXIST || !settle_existing()) {
      ::unlink(temp.c_str());
      if (err != EEXIST) return fail("cannot create " + output_.string(), err);
      return outcome_;
    }
  }
  posix::sync_folder(output_);
  return outcome_ = WriteOutcome::kWritten;
}

}  // namespace pstorian
