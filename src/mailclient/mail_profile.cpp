#include "mailclient/mail_profile.h"

namespace pstorian {

MailProfile& MailProfile::instance() {
  static MailProfile profile;
  return profile;
}

std::shared_ptr<MessageStore> MailProfile::attach(const std::filesystem::path& path) {
  const std::lock_guard lock(mutex_);
  for (const auto& s : stores_)
    if (s->is_file(path)) return s;
  stores_.push_back(std::make_shared<MessageStore>(path, codepage_));
  return stores_.back();
}

std::vector<std::shared_ptr<MessageStore>> MailProfile::stores() {
  const std::lock_guard lock(mutex_);
  return stores_;
}

void MailProfile::set_codepage(std::string codepage) {
  const std::lock_guard lock(mutex_);
  codepage_ = std::move(codepage);
}

void MailProfile::close_all() {
  for (const auto& s : stores()) s->close();
}

void MailProfile::clear() {
  std::vector<std::shared_ptr<MessageStore>> gone;
  {
    const std::lock_guard lock(mutex_);
    gone.swap(stores_);
  }
  for (const auto& s : gone) s->close();
}

}  // namespace pstorian
