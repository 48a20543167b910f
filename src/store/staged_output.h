// The output file of a repair, written under a name of its own and given the output's name
// only once it is complete, so that an existing output is never lost to a repair that fails,
// is stopped or is killed, and two repairs never write into one name.
//
// What is done, in order, and what a crash or kill at each point leaves behind:
//
//   1. The output name is locked (OutputLock): a lock file ".<name>.lock" in the output
//      folder, held with flock(2) for the whole repair. A second repair into the same name
//      finds it held and is refused with the holder's process id. The lock ends with the
//      process however it ends; the file is removed by its holder while still holding it.
//   2. Before anything is written: a name that is no regular file (a FIFO, a device node, a
//      folder, or a link to one of those) is refused, whatever the caller allows; an
//      existing output is replaced only when the caller allows it or the user says Yes, and
//      added to only by working on a copy of it.
//   3. The staging file "<name> (incomplete).pst" ("(incomplete 2)", ... when such a file is
//      left from an earlier run) is created exclusively beside the output and given the
//      empty store image, or a copy of the existing output, and flushed. From here on a kill
//      leaves the output as it was and the staging file under a name that says what it is.
//   4. The caller's mail client fills the staging file, checkpoint by checkpoint, and
//      releases it.
//   5. publish() renames the staging file to the output's name in one step, replacing the
//      old file only when that was allowed (and, when adding to it, only if it did not
//      change since it was copied), and flushes the folder. keep_incomplete() leaves the
//      staging file where it is; discard() removes it when nothing worth keeping was
//      written (only this run ever had that name: it was created exclusively).
//
// Nothing here writes to an existing file, not even the output when adding to it: the
// output name only ever changes which file it stands for, as a whole.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "store/posix_file.h"
#include "store/question_asker.h"
#include "store/store_file_writer.h"

namespace pstorian {

// The lock of one output name. Movable, not copyable; released when destroyed.
class OutputLock {
 public:
  // Takes the lock on `output` without waiting. When another process (or another lock in
  // this one) holds it (`held` is then set), or the lock file cannot be made, nothing is
  // returned and `error` says why in words for the user.
  static std::optional<OutputLock> acquire(const std::filesystem::path& output,
                                           std::string& error, bool* held = nullptr);

  OutputLock(OutputLock&&) noexcept = default;
  OutputLock& operator=(OutputLock&&) noexcept;
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;
  ~OutputLock();

  // The lock file's path.
  const std::filesystem::path& path() const { return path_; }

 private:
  OutputLock(std::filesystem::path path, posix::Fd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  void release();

  std::filesystem::path path_;
  posix::Fd fd_;
};

// The lock file of `output`: ".<file name>.lock" in its folder (a shorter hashed name when
// that would be too long for the file system).
std::filesystem::path lock_path_for(const std::filesystem::path& output);
// The n-th staging name of `output` (n from 1): "<stem> (incomplete).pst",
// "<stem> (incomplete 2).pst", ...
std::filesystem::path staging_path_for(const std::filesystem::path& output, unsigned n);

enum class StageOutcome {
  kStaged,      // the staging file is ready for the mail client
  kDeclined,    // the user would not replace the existing output: nothing was touched
  kLocked,      // another repair holds the output name: nothing was touched
  kNotRegular,  // the output name is no regular file: refused, nothing was touched
  kFailed,      // the lock or the staging file could not be made; error() says why
};

enum class PublishOutcome {
  kPublished,  // the staging file is the output now
  kKeptAside,  // complete, but the output name could not be given to it (see error()):
               // it stays under its staging name
  kFailed,     // the rename failed; the staging file stays (error() says why)
};

class StagedOutput {
 public:
  // `lock` may be one the caller took earlier for the same output (to refuse a second run
  // before a long scan); without one, prepare() takes it.
  StagedOutput(std::filesystem::path output, ExistingOutput existing, QuestionAsker& asker,
               std::shared_ptr<OutputLock> lock = nullptr);
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;
  // Releases the lock; the staging file stays as it is unless published or discarded.
  ~StagedOutput();

  // Steps 1 to 3: the lock, the existing output settled, the staging file made with
  // `empty_image` (or a copy of the existing output when adding to it).
  StageOutcome prepare(std::span<const std::uint8_t> empty_image);

  // Step 5; call only after prepare() gave kStaged and the mail client released the file.
  PublishOutcome publish();
  void keep_incomplete();
  void discard();

  const std::filesystem::path& output() const { return output_; }
  const std::filesystem::path& staging() const { return staging_; }
  // True when the staging file started as a copy of an existing output.
  bool adds_to_existing() const { return copied_.has_value(); }
  // True when a file stood at the output name when prepare() looked.
  bool output_existed() const { return existed_; }
  // What failed, in words with the path and the system's reason.
  const std::string& error() const { return error_; }

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified_ns = 0;
  };
  StageOutcome fail(const std::string& what, const std::filesystem::path& path, int err);
  bool create_staging(posix::Fd& fd);
  bool copy_existing(int to);
  bool replace_allowed_now();
  static std::optional<Identity> identity_of(const std::filesystem::path& path);

  std::filesystem::path output_;
  ExistingOutput existing_;
  QuestionAsker& asker_;
  std::shared_ptr<OutputLock> lock_;
  std::filesystem::path staging_;
  bool replace_ = false;             // the output may be replaced (allowed, or answered Yes)
  std::optional<Identity> copied_;   // the output as it was when copied
  bool staged_ = false;
  bool existed_ = false;
  std::string error_;
};

}  // namespace pstorian
