// The yes/no questions the store writer puts to the user, behind an interface: the desktop
// answers with a message box, the command line with a prompt or a flag, tests directly.
#pragma once

#include <string_view>

namespace pstorian {

enum class Answer { kYes, kNo };

class QuestionAsker {
 public:
  virtual ~QuestionAsker() = default;
  // Shows `text` under `caption` with Yes and No (and the question icon) and waits.
  virtual Answer AskYesNo(std::string_view text, std::string_view caption) = 0;
};

constexpr std::string_view kMessageCaption = "Pstorian";
constexpr std::string_view kOverwriteQuestion = "Do you want to overwrite existing pst file?";

}  // namespace pstorian
