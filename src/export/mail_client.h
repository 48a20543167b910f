// The mail client a repair writes through: the factory that creates its application object
// and the helper objects by ProgID, and how the client is ended when an export is done (every
// attached store flushed and its file released), which stands for ending the mail client's
// processes.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "mailclient/automation/helper_component.h"

namespace pstorian {

struct MailClient {
  std::shared_ptr<automation::AutomationFactory> factory;
  std::function<void()> close;  // may be empty: nothing to end
  // Names the code page (an iconv name) of the 8-bit texts of the stores the client opens
  // from now on; may be empty: the client keeps its own.
  std::function<void(std::string)> use_codepage;
  // Tells the client that the file of a store it has released (see close) now has another
  // name, so that the store is found under it later; may be empty.
  std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)>
      renamed = nullptr;
};

// The mail client of this build: the embedded one.
MailClient make_mail_client();

// The client's application object ("Outlook.Application"); null when it cannot be created.
std::shared_ptr<automation::Application> create_application(const MailClient& client);

// A factory that creates nothing: every creation throws AutomationError.
class UnavailableMailClientFactory final : public automation::AutomationFactory {
 public:
  std::shared_ptr<automation::Application> CreateApplication(std::u16string_view prog_id) override;
  std::shared_ptr<automation::HelperObject> CreateHelper(std::u16string_view prog_id) override;
};

}  // namespace pstorian
