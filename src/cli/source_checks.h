// What `scan` and `repair` settle before a long scan: that the source is a regular file that
// can be read (opened without blocking, so a FIFO or device is refused, not waited on), and
// that the code page given for its 8-bit texts can be used.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "engine/byte_source.h"

namespace pstorian::cli {

// The source opened read-only; on failure the reason went to `err` and nothing is returned.
std::optional<SourceFile> open_source(const std::string& path, std::ostream& err);

// Why `codepage` cannot be used for the 8-bit texts of a file, or nothing when it can. It must
// be known to iconv and give every byte below 0x80 its ASCII meaning: the file's structural
// names and the texts the mail client writes are ASCII in single bytes, so a code page such as
// UTF-16 (or an EBCDIC one) would fail or garble them mid-export.
std::optional<std::string> codepage_problem(std::string_view codepage);

}  // namespace pstorian::cli
