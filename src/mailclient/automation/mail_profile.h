// The embedded mail client's profile: the stores attached in this process, in the order
// attached. It lives as long as the process, so every application object, and one made
// after the mail client was ended, finds a store at the same position.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "pst/messaging/message_store.h"

namespace pstorian {

class MailProfile {
 public:
  static MailProfile& instance();

  // The store of `path`, attached now or earlier (the same file is attached once). Throws
  // what MessageStore throws for a file that is not a sound store.
  std::shared_ptr<MessageStore> attach(const std::filesystem::path& path);
  std::vector<std::shared_ptr<MessageStore>> stores();
  // The 8-bit code page of stores attached from now on.
  void set_codepage(std::string codepage);
  std::string codepage();

  // Checkpoints and releases every store's file; the stores stay in the profile and open
  // their files again when used. Every store is closed even when one fails; the first
  // failure (StoreFailedError for a store whose checkpoint failed) is thrown afterwards.
  void close_all();
  // The file of a released store (see close_all) was renamed: the store whose file was
  // `from` opens `to` from now on. A store attached earlier under `to` then names the same
  // file; attaching `to` finds the newest of them.
  void renamed(const std::filesystem::path& from, const std::filesystem::path& to);
  // Closes every store and forgets it: an empty profile.
  void clear();

 private:
  std::mutex mutex_;
  std::string codepage_ = "WINDOWS-1252";
  std::vector<std::shared_ptr<MessageStore>> stores_;
};

}  // namespace pstorian
