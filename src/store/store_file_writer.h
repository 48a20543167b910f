// Puts the empty store image on disk at the output path.
//
// The file only ever appears complete: the image goes to a hidden temporary file in the same
// folder, is flushed to disk, and is then linked to the output name, which fails if that
// name exists, so nothing is replaced unless replacing was asked for (the same exclusive
// creation as opening the output with O_EXCL). A replacement renames the temporary file over
// the old name in one step, so the old file stays whole until the new one is complete. A
// failed write removes the temporary file and reports the failure with its cause; a crash or
// kill leaves at most the temporary file, never a short store under the output name.
//
// Nothing here writes to, or changes the mode of, an existing file: replacing one only
// changes which file the name stands for, so a link at the output name is replaced as a name
// and whatever it pointed at (a hard link's other names, a symbolic link's target) stays as
// it was. A name that is no regular file (a FIFO, a device node, a folder, or a link to one
// of those) is refused whatever was asked, and left as it is. The folder must exist; a
// missing or unwritable folder is a failure, not a question.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "pst/ndb/form_layout.h"
#include "store/question_asker.h"

namespace pstorian {

// What happens when a file of the output name exists.
enum class ExistingOutput {
  kAsk,      // "Do you want to overwrite existing pst file?": Yes replaces it, No declines
  kReplace,  // replaced without a question
  kKeep,     // left as it is, for the caller to add to
};

enum class WriteOutcome {
  kWritten,   // the image is at the output path
  kKept,      // a file of that name exists and was left (ExistingOutput::kKeep)
  kDeclined,  // the user said No to replacing it: nothing was touched
  kFailed,    // nothing was written; error() says why
};

// True when `a` and `b` both name one existing file (device and inode, links followed): an
// output that is the source of a repair, whatever name leads to it.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

class StoreFileWriter {
 public:
  StoreFileWriter(QuestionAsker& asker, std::filesystem::path output,
                  ExistingOutput existing = ExistingOutput::kAsk);
  StoreFileWriter(const StoreFileWriter&) = delete;
  StoreFileWriter& operator=(const StoreFileWriter&) = delete;

  // True when the empty store (of the 32-bit form unless told otherwise) was written to the
  // output path; outcome() tells the rest.
  bool WriteEmptyStore(FileForm form = FileForm::kAnsi);

  // Writes any image the same way; WriteEmptyStore writes EmptyStoreImage().
  WriteOutcome Write(std::span<const std::uint8_t> image);

  WriteOutcome outcome() const { return outcome_; }
  // For kFailed: what failed, the path and the system's reason ("cannot create /a/b.pst:
  // Permission denied").
  const std::string& error() const { return error_; }

 private:
  WriteOutcome fail(const std::string& what, int err);

  QuestionAsker& asker_;
  std::filesystem::path output_;
  ExistingOutput existing_;
  WriteOutcome outcome_ = WriteOutcome::kFailed;
  std::string error_;
};

}  // namespace pstorian
