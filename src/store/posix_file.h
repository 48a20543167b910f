// Small POSIX file helpers shared by the writers of output files: a descriptor that closes
// itself, whole writes, what kind of file a name stands for, and flushing a folder so that a
// new name in it survives a crash.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace pstorian::posix {

// Owns a descriptor; closes it (ignoring the result) unless it was closed explicitly.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now; the result of close(2).
  int close();

 private:
  int fd_ = -1;
};

// Writes all of `data` at the descriptor's position, going on after short writes; false with
// errno set on failure.
bool write_all(int fd, std::span<const std::uint8_t> data);

// What stands at a name, without following a symbolic link at it.
enum class NameKind {
  kNone,     // nothing of that name
  kRegular,  // a regular file, or a symbolic link to one (or to nothing)
  kOther,    // a folder, FIFO, socket, device node, or a link to one of those
};
NameKind name_kind(const std::filesystem::path& path);

// "a FIFO", "a character device", "a folder", ... for messages; "" for a regular file.
std::string kind_text(const std::filesystem::path& path);

// Gives the file `from` the name `to` unless that name exists (then -1 with EEXIST): a hard
// link where the file system has them, else the no-replace rename. -1 with errno on failure.
int rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);

// Flushes the folder holding `path`, so that a name made or changed in it is on disk; a
// folder that cannot be opened or flushed (some file systems refuse) leaves that to the
// system.
void sync_folder(const std::filesystem::path& path);

// The folder holding `path`: its parent, or "." for a bare name.
std::filesystem::path folder_of(const std::filesystem::path& path);

// "<what> <path>: <the system's reason for err>".
std::string failure_text(std::string_view what, const std::filesystem::path& path, int err);

}  // namespace pstorian::posix
