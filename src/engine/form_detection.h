// Tells which form a source file is in, from what its blocks and pages look like rather than
// from its header, which damage may have wiped or garbled. A file holds one form.
//
// Samples of the file are searched for block trailers and node B-tree leaf pages of both
// forms; a trailer counts only if its signature fits its place and its check value its data,
// which data of the other form practically never does. The form with more finds wins; on a
// tie (also none at all) the header's version number decides, and failing that the 32-bit
// form is taken.
#pragma once

#include "engine/byte_source.h"
#include "format/file_form.h"

namespace pstorian {

pst::FileForm detect_form(const ByteSource& source);

}  // namespace pstorian
