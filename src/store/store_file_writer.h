// Puts the empty store image on disk at the output path, asking before it replaces a file.
//
// The file only ever appears complete: the image goes to a hidden temporary file in the same
// folder, is flushed to disk, and is then linked to the output name, which fails if that
// name exists, so nothing is replaced without the question (the same exclusive creation as
// opening the output with O_EXCL). A failed write removes the temporary file and reports the
// failure; a crash or kill leaves at most the temporary file, never a short store under the
// output name.
//
// The question "Do you want to overwrite existing pst file?" is asked whenever the output
// cannot be created: because a file of that name exists, or because the folder is missing or
// not writable. No ends the call with nothing touched. Yes makes an existing file writable,
// deletes it and tries again, asking again if that fails too.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "store/question_asker.h"

namespace pstorian {

enum class WriteOutcome { kWritten, kDeclined, kFailed };

class StoreFileWriter {
 public:
  StoreFileWriter(QuestionAsker& asker, std::filesystem::path output);
  StoreFileWriter(const StoreFileWriter&) = delete;
  StoreFileWriter& operator=(const StoreFileWriter&) = delete;

  // True when the empty store was written to the output path. False when the user declined
  // to replace or retry (nothing was touched) or when writing failed (the partial file was
  // removed; error() says why).
  bool WriteEmptyStore();

  // Writes any image the same way; WriteEmptyStore writes EmptyStoreImage().
  WriteOutcome Write(std::span<const std::uint8_t> image);

  WriteOutcome outcome() const { return outcome_; }
  const std::string& error() const { return error_; }

 private:
  bool ask_to_replace();
  WriteOutcome fail(const std::string& what, int err);

  QuestionAsker& asker_;
  std::filesystem::path output_;
  WriteOutcome outcome_ = WriteOutcome::kFailed;
  std::string error_;
};

}  // namespace pstorian
