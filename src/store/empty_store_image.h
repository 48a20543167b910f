// The empty personal folder file that every repair starts from: 49,152 bytes, the same in
// every run, holding the message store "Personal Folders", its root folder, the top of the
// personal folders with the ten standard folders, the search root, the view folders, the
// "Reminders" search folder, the name-to-id map and the table templates.
#pragma once

#include <cstdint>
#include <span>

namespace pstorian {

// The image, built from its description on first use (thread-safe) and kept for the life of
// the process.
std::span<const std::uint8_t> EmptyStoreImage();

}  // namespace pstorian
