// How the output file of a repair is named: in the output folder, the source's base name, a
// blank, the label "Recovered" and ".pst" (/mail/archive.pst gives /mail/archive Recovered.pst).
// Shared by the file selection dialog and the command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pstorian {

inline constexpr std::string_view kOutputLabel = "Recovered";

// The source's extension is accepted in exactly these letter-case forms: ".pst", ".PST",
// ".Pst", ".pST", ".pSt", ".psT" (".PsT" and ".PSt" are not).
bool accepted_pst_extension(std::string_view path);

struct OutputNaming {
  std::string base_name;      // file name of the source without folder and extension
  std::string output_folder;  // the source's folder, ending in "/"
  std::string output_path;    // output_folder + base_name + " " + label + ".pst"
};

// Names the output beside `source_path`; nothing when its extension is not accepted.
std::optional<OutputNaming> name_output_beside(std::string_view source_path,
                                               std::string_view label = kOutputLabel);

// The output path in another folder: the folder, a "/" unless it ends in one, the base name,
// a blank, the label and ".pst".
std::string output_path_in(std::string_view folder, std::string_view base_name,
                           std::string_view label = kOutputLabel);

}  // namespace pstorian
