#include "cli/sample_command.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>

#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/sample_mailbox.h"
#include "store/store_file_writer.h"

namespace pstorian {
namespace {

// An existing file is replaced only with --overwrite, never after a question.
class NoQuestions final : public QuestionAsker {
 public:
  Answer AskYesNo(std::string_view, std::string_view) override { return Answer::kNo; }
};

struct SampleArguments {
  std::string file;
  SampleOptions options;
  bool overwrite = false;
  bool unicode = false;
};

void run_sample(const SampleArguments& args) {
  if (args.options.folders < 0 || args.options.messages < 0) {
    std::cerr << "pstorian-cli: --folders and --messages take counts of 0 or more\n";
    throw CLI::RuntimeError(2);
  }
  NoQuestions asker;
  StoreFileWriter writer(asker, args.file,
                         args.overwrite ? ExistingOutput::kReplace : ExistingOutput::kAsk);
  if (!writer.WriteEmptyStore(args.unicode ? FileForm::kUnicode : FileForm::kAnsi)) {
    std::cerr << "pstorian-cli: cannot create " << args.file
              << (writer.error().empty() ? " (it exists; use --overwrite)" : ": " + writer.error())
              << "\n";
    throw CLI::RuntimeError(1);
  }
  const auto start = std::chrono::steady_clock::now();
  try {
    const auto factory = make_mail_client_factory();
    const auto manifest = fill_sample_mailbox(*factory, args.file, args.options);
    terminate_mail_client();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Wrote " << manifest.folders.size() - 1 << " folders and "
              << manifest.messages.size() << (args.options.rich ? " items to " : " messages to ")
              << args.file << " ("
              << std::filesystem::file_size(args.file) << " bytes, " << seconds << " s)\n";
  } catch (const automation::AutomationError& e) {
    terminate_mail_client();
    std::cerr << "pstorian-cli: the mail client failed: " << e.what() << "\n";
    throw CLI::RuntimeError(1);
  }
}

}  // namespace

void add_sample_command(CLI::App& app) {
  auto* cmd = app.add_subcommand("sample", "Write a synthetic mailbox into a new .pst file");
  auto args = std::make_shared<SampleArguments>();
  cmd->add_option("FILE", args->file, "the .pst file to create")->required();
  cmd->add_option("--folders", args->options.folders, "folders to create (default 20)");
  cmd->add_option("--messages", args->options.messages, "messages to write (default 1000)");
  cmd->add_option("--seed", args->options.seed, "seed of the generator (default 1)");
  cmd->add_flag("--rich", args->options.rich,
                "whole items of every kind, with named properties, HTML and RTF bodies, "
                "recipients and attachments of every method");
  cmd->add_flag("--overwrite", args->overwrite, "replace FILE if it exists");
  cmd->add_flag("--unicode", args->unicode, "write the 64-bit (Unicode) form of the file");
  cmd->callback([args] { run_sample(*args); });
}

}  // namespace pstorian
