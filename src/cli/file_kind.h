// Whether a file is a personal folder file at all, sound or damaged, or something else given
// by mistake: a picture, an archive, a text, an empty file. The commands tell the user so in
// the words of kNotAPersonalFolderFile (`check` in place of a verdict), and advise no repair
// of such a file: there is nothing in it to recover.
//
// The header decides first: a file that begins with the mark "!BDN" is one, however damaged
// the rest. Without the mark, what a scan of the file found decides, since a file whose
// header was lost (zeroed, overwritten) still holds its pages and blocks: a node B-tree leaf
// page, or a block whose check value matches its data. A file of another kind holds neither.
// Its bytes pass the scan's trailer test now and then (a 16-bit signature matching by
// chance), so a block counts only when its 32-bit check value matches too, and its data is
// not all zeros (whose check value is zero, as a run of zeros in any file would have it).
#pragma once

#include <string_view>

#include "engine/byte_source.h"
#include "engine/object_tables.h"
#include "engine/pst_scanner.h"

namespace pstorian::cli {

inline constexpr std::string_view kNotAPersonalFolderFile = "not a personal folder file";

// `scanned` and `counts` are what CPstScanner::scan of `source` found. Looks at the check
// values of at most kBlocksTried blocks, in ascending id order.
bool is_personal_folder_file(const ByteSource& source, const RecoveryTables& scanned,
                             const ScanCounts& counts);

inline constexpr std::size_t kBlocksTried = 256;

}  // namespace pstorian::cli
