// The items an output store holds already, known by what they hold, so that adding a repair
// to an existing output never writes an item twice.
//
// An item is known by a fingerprint of the values a repair writes as the source holds them:
// its properties below the named range, but not those the store makes for itself (entry ids,
// sizes, flags and times it sets on saving) nor those the export derives where the source
// lacks them (the sender's name and address type, display lists, subject parts); texts as
// UTF-8, whichever of the two string types they are stored in; and the number of its
// recipients and its attachments with each attachment's data. An item the export could not
// read whole (written from a few values only) is known by its class, subject and body.
//
// Each held item matches one item of the repair at most: two equal items of the source
// match two equal held ones, and a third is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/item_record.h"
#include "export/wide_text.h"
#include "pst/messaging/message_content.h"

namespace pstorian {

class HeldItems {
 public:
  // Adds an item of the output store, its content as the store gives it back.
  void add(const MessageContent& content, const FileText& text);
  // True when a held item not matched yet holds what `record` would be written with; that
  // item counts as matched from now on.
  bool take(const ItemRecord& record, const FileText& text);

  std::size_t size() const { return matched_.size(); }
  bool empty() const { return matched_.empty(); }

 private:
  bool take_from(std::unordered_multimap<std::uint64_t, std::size_t>& index,
                 std::uint64_t fingerprint);

  std::unordered_multimap<std::uint64_t, std::size_t> whole_;  // by whole fingerprint
  std::unordered_multimap<std::uint64_t, std::size_t> bare_;   // by class, subject, body
  std::vector<bool> matched_;
};

// The fingerprints, for tests: of an item written whole, and of one written from its class,
// subject and body (texts in UTF-8).
std::uint64_t whole_fingerprint(const MessageContent& content, const FileText& text);
std::uint64_t bare_fingerprint(std::string_view item_class, std::string_view subject,
                               std::string_view body);

}  // namespace pstorian
