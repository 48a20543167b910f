#include "cli/new_command.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "store/empty_store_image.h"
#include "store/store_file_writer.h"

namespace pstorian {
namespace {

// Answers the overwrite question (asked without --overwrite) on the terminal; without a
// terminal the answer is No.
class CommandLineAsker final : public QuestionAsker {
 public:
  Answer AskYesNo(std::string_view text, std::string_view caption) override {
    if (::isatty(STDIN_FILENO) == 0) {
      refused_without_terminal_ = true;
      return Answer::kNo;
    }
    std::cerr << caption << ": " << text << " [y/N] " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return Answer::kNo;
    return line == "y" || line == "Y" || line == "yes" || line == "Yes" ? Answer::kYes
                                                                        : Answer::kNo;
  }

  bool refused_without_terminal() const { return refused_without_terminal_; }

 private:
  bool refused_without_terminal_ = false;
};

void run_new(const std::string& file, bool overwrite, bool unicode) {
  CommandLineAsker asker;
  StoreFileWriter writer(asker, file, overwrite ? ExistingOutput::kReplace : ExistingOutput::kAsk);
  const FileForm form = unicode ? FileForm::kUnicode : FileForm::kAnsi;
  if (writer.WriteEmptyStore(form)) {
    std::cout << "Wrote an empty " << (unicode ? "Unicode " : "") << "personal folder file to "
              << file << " (" << EmptyStoreImage(form).size() << " bytes)\n";
    return;
  }
  if (writer.outcome() == WriteOutcome::kFailed)
    std::cerr << "pstorian-cli: " << writer.error() << "\n";
  else if (asker.refused_without_terminal())
    std::cerr << "pstorian-cli: " << file
              << " already exists; not replaced (no terminal to ask; use --overwrite)\n";
  else
    std::cerr << "pstorian-cli: " << file << " already exists; not replaced\n";
  throw CLI::RuntimeError(1);
}

}  // namespace

void add_new_command(CLI::App& app) {
  auto* cmd = app.add_subcommand("new", "Write a fresh, empty personal folder file (.pst)");
  auto file = std::make_shared<std::string>();
  auto overwrite = std::make_shared<bool>(false);
  cmd->add_option("FILE", *file, "the .pst file to create")->required();
  auto unicode = std::make_shared<bool>(false);
  cmd->add_flag("--overwrite", *overwrite, "replace FILE if it exists, without asking");
  cmd->add_flag("--unicode", *unicode,
                "write the 64-bit (Unicode) form, which grows past 2 GB, instead of the 32-bit one");
  cmd->callback([file, overwrite, unicode] { run_new(*file, *overwrite, *unicode); });
}

}  // namespace pstorian
