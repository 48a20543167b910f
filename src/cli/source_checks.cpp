#include "cli/source_checks.h"

#include <cerrno>
#include <cstring>
#include <ostream>

#include "engine/codepage.h"

namespace pstorian::cli {

std::optional<SourceFile> open_source(const std::string& path, std::ostream& err) {
  errno = 0;
  auto source = SourceFile::open(path);
  if (!source) {
    const int reason = errno;
    err << "pstorian-cli: cannot open " << path << ": "
        << (reason != 0 ? std::strerror(reason) : "not a regular file") << '\n';
  }
  return source;
}

std::optional<std::string> codepage_problem(std::string_view codepage) {
  const auto converter = CodepageConverter::open(codepage);
  if (!converter) return "unknown code page " + std::string(codepage);
  std::string ascii(0x7F, '\0');
  for (std::size_t i = 0; i < ascii.size(); ++i) ascii[i] = static_cast<char>(i + 1);
  if (converter->to_utf8(ascii) != ascii) {
    return "the code page " + std::string(codepage) +
           " does not keep ASCII in single bytes; name one whose bytes below 0x80 are "
           "ASCII, such as WINDOWS-1252, CP1251 or CP932";
  }
  return std::nullopt;
}

}  // namespace pstorian::cli
