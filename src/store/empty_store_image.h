// The empty personal folder file that every repair starts from: 49,152 bytes, the same in
// every run, holding the message store "Personal Folders", its root folder, the top of the
// personal folders with the ten standard folders, the search root, the view folders, the
// "Reminders" search folder, the name-to-id map and the table templates.
#pragma once

#include <cstdint>
#include <span>

#include "pst/ndb/form_layout.h"

namespace pstorian {

// The image, built from its description on first use (thread-safe) and kept for the life of
// the process. The 64-bit (Unicode) image holds the same folders, nodes and properties,
// its texts as PT_UNICODE, laid out in the wider structures of that form.
std::span<const std::uint8_t> EmptyStoreImage(FileForm form = FileForm::kAnsi);

}  // namespace pstorian
