#include "mailclient/automation/mail_profile.h"

#include <exception>

namespace pstorian {

MailProfile& MailProfile::instance() {
  static MailProfile profile;
  return profile;
}

std::shared_ptr<MessageStore> MailProfile::attach(const std::filesystem::path& path) {
  const std::lock_guard lock(mutex_);
  // Newest first: a store renamed over the file of an older one stands for it now.
  for (auto it = stores_.rbegin(); it != stores_.rend(); ++it)
    if ((*it)->is_file(path)) return *it;
  stores_.push_back(std::make_shared<MessageStore>(path, codepage_));
  return stores_.back();
}

std::vector<std::shared_ptr<MessageStore>> MailProfile::stores() {
  const std::lock_guard lock(mutex_);
  return stores_;
}

std::string MailProfile::codepage() {
  const std::lock_guard lock(mutex_);
  return codepage_;
}

void MailProfile::set_codepage(std::string codepage) {
  const std::lock_guard lock(mutex_);
  codepage_ = std::move(codepage);
}

namespace {

// Closes each store, all of them even when one fails; then throws the first failure.
void close_each(const std::vector<std::shared_ptr<MessageStore>>& stores) {
  std::exception_ptr first;
  for (const auto& s : stores) {
    try {
      s->close();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace

void MailProfile::close_all() {
  close_each(stores());
}

void MailProfile::renamed(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::lock_guard lock(mutex_);
  const auto normal = [](const std::filesystem::path& p) {
    return std::filesystem::absolute(p).lexically_normal();
  };
  const std::filesystem::path old_name = normal(from);
  const std::filesystem::path new_name = normal(to);
  for (const auto& s : stores_) {
    if (s->path() == old_name) s->renamed(new_name);
  }
}

void MailProfile::clear() {
  std::vector<std::shared_ptr<MessageStore>> gone;
  {
    const std::lock_guard lock(mutex_);
    gone.swap(stores_);
  }
  close_each(gone);
}

}  // namespace pstorian
