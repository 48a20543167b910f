#include "job/output_naming.h"

#include <array>

namespace pstorian {

bool accepted_pst_extension(std::string_view path) {
  static constexpr std::array<std::string_view, 6> kForms = {".pst", ".PST", ".Pst",
                                                             ".pST", ".pSt", ".psT"};
  if (path.size() < 4) return false;
  const std::string_view extension = path.substr(path.size() - 4);
  for (std::string_view form : kForms) {
    if (extension == form) return true;
  }
  return false;
}

std::optional<OutputNaming> name_output_beside(std::string_view source_path,
                                               std::string_view label) {
  if (!accepted_pst_extension(source_path)) return std::nullopt;
  const std::string_view stem = source_path.substr(0, source_path.size() - 4);
  const std::size_t slash = source_path.rfind('/');
  OutputNaming naming;
  if (slash == std::string_view::npos) {
    // A bare file name lies in the current folder.
    naming.base_name = std::string(stem);
    naming.output_folder = "./";
  } else {
    naming.base_name = std::string(stem.substr(slash + 1));
    naming.output_folder = std::string(source_path.substr(0, slash + 1));
  }
  naming.output_path = naming.output_folder + naming.base_name;
  naming.output_path += ' ';
  naming.output_path += label;
  naming.output_path += ".pst";
  return naming;
}

std::string output_path_in(std::string_view folder, std::string_view base_name,
                           std::string_view label) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path += base_name;
  path += ' ';
  path += label;
  path += ".pst";
  return path;
}

}  // namespace pstorian
