#include "job/reporter.h"

namespace pstorian {

std::string populating_text(std::optional<std::string_view> folder_name) {
  // The folder of unplaced items has no record of its own, hence its fixed lower-case text.
  if (!folder_name) return "populating folder Lost&Found";
  std::string text = "Populating folder ";
  text += *folder_name;
  return text;
}

}  // namespace pstorian
