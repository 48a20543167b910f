#include "job/second_thread.h"

#include <cstddef>

namespace pstorian {

void CSecondThread::set_listing(std::unique_ptr<FolderLister> lister, std::vector<PathEntry> path,
                                Reporter& reporter, JobHost& host) {
  lister_ = std::move(lister);
  path_ = std::move(path);
  reporter_ = &reporter;
  host_ = &host;
}

void CSecondThread::start() {
  worker_.start(
      [this] {
        if (!lister_) return;
        lister_->list(path_, *reporter_, *host_, worker_.control());
        lister_.reset();  // releases the lister's mail client objects on this thread
      },
      finished_);
}

bool is_mail_message_class(std::string_view message_class) {
  constexpr std::string_view kPrefix = "ipm.note";
  if (message_class.size() < kPrefix.size()) return false;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    const char c = message_class[i];
    const char lower = kPrefix[i];
    // Either the lower-case letter or the value 0x20 below it (its capital; '.' gives
    // 0x0E, which no class name holds).
    if (c != lower && c != static_cast<char>(lower - 0x20)) return false;
  }
  return true;
}

namespace {

// Byte length of the first `count` UTF-8 characters of `text` (all of it if shorter);
// `characters` receives how many characters that is.
std::size_t utf8_prefix(std::string_view text, std::size_t count, std::size_t& characters) {
  std::size_t pos = 0;
  characters = 0;
  while (pos < text.size() && characters < count) {
    ++pos;
    while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
    ++characters;
  }
  return pos;
}

}  // namespace

std::string fit_row_text(std::string_view text) {
  std::size_t characters = 0;
  const std::size_t whole = utf8_prefix(text, 500, characters);
  if (characters <= 499) return std::string(text.substr(0, whole));
  return std::string(text.substr(0, utf8_prefix(text, 498, characters)));
}

std::string items_in_folder_text(int count) {
  return "There are " + std::to_string(count) + " items in this folder";
}

}  // namespace pstorian
