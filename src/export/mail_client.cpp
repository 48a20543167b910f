#include "export/mail_client.h"

#include "mailclient/automation/mail_client_factory.h"

namespace pstorian {

std::shared_ptr<automation::Application> UnavailableMailClientFactory::CreateApplication(
    std::u16string_view) {
  throw automation::AutomationError("no mail client is built into this program");
}

std::shared_ptr<automation::HelperObject> UnavailableMailClientFactory::CreateHelper(
    std::u16string_view) {
  throw automation::AutomationError("no mail client is built into this program");
}

std::shared_ptr<automation::Application> create_application(const MailClient& client) {
  if (!client.factory) return nullptr;
  try {
    return client.factory->CreateApplication(automation::kApplicationProgId);
  } catch (const automation::AutomationError&) {
    return nullptr;
  }
}

MailClient make_mail_client() {
  return MailClient{make_mail_client_factory(), &terminate_mail_client, &set_mail_client_codepage,
                    &mail_client_store_renamed};
}

}  // namespace pstorian
