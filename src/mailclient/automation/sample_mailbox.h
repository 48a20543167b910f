// A synthetic mailbox written through the two automation interfaces, the way a repair
// writes its output: nested folders of every type, and messages with varied subjects,
// senders, recipients, bodies (from empty to 100 KB), importance, flags and times. The
// project's own sample for demonstrations, tests and benchmarks; the same seed gives the
// same mailbox.
//
// The rich sample writes whole items instead (see sample_items.h): every kind, each in a
// folder of its type, handed to the helper as MessageContent and then saved again and moved
// as a repair does; the folders get properties of their own through the helper folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/layout.h"
#include "mailclient/automation/helper_component.h"
#include "pst/messaging/message_content.h"

namespace pstorian {

struct SampleOptions {
  int folders = 20;
  int messages = 1000;
  std::uint32_t seed = 1;
  // Bodies are drawn up to this size, a few of them at the maximum.
  std::size_t largest_body = 100 * 1024;
  // When set, every body has this size instead.
  std::optional<std::size_t> body_size;
  // A folder that holds this many messages goes on in a sibling "<name> (2)", and so on.
  std::size_t items_per_folder = pst::kMaxTableRows;
  // Whole items of every kind (at least one folder of each type) instead of plain mail.
  bool rich = false;
};

struct SampleFolder {
  std::vector<std::u16string> path;  // names below the store's top folder
  std::int32_t type = 0;
};

struct SampleMessage {
  std::size_t folder = 0;  // index into SampleManifest::folders
  std::u16string subject, sender, display_to;
  std::int32_t importance = 1, flag_status = 0;
  automation::OleDate submitted, delivered;
  std::size_t body_size = 0;  // the body is sample_body(seed, index)
  // The rich sample's item as it was handed over; its subject is `subject`.
  std::shared_ptr<const MessageContent> content;
};

struct SampleManifest {
  std::vector<SampleFolder> folders;  // the first is the existing "Inbox"
  std::vector<SampleMessage> messages;
};

// The body of message `index`: `size` characters of text, the same for the same seed.
std::u16string sample_body(std::uint32_t seed, std::size_t index, std::size_t size);

// Attaches the store file (an existing store, the empty one for instance), fills it and
// returns what it wrote. Throws AutomationError when the mail client refuses a step.
SampleManifest fill_sample_mailbox(automation::AutomationFactory& factory,
                                   const std::filesystem::path& store_file,
                                   const SampleOptions& options);

}  // namespace pstorian
