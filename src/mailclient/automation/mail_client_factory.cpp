#include "mailclient/automation/mail_client_factory.h"

#include "mailclient/automation/embedded_objects.h"
#include "mailclient/automation/helper_objects.h"
#include "mailclient/automation/mail_profile.h"

namespace pstorian {
namespace {

using automation::AutomationError;

// A helper object that the export only creates and holds.
class PlainHelper final : public automation::HelperObject {};

class EmbeddedApplication final : public automation::Application {
 public:
  std::shared_ptr<automation::Namespace> GetNamespace(std::u16string_view type) override {
    if (fold_case(type) != fold_case(automation::kNamespaceType))
      throw AutomationError("the only namespace is MAPI");
    return make_embedded_namespace();
  }
};

class MailClientFactory final : public automation::AutomationFactory {
 public:
  std::shared_ptr<automation::Application> CreateApplication(std::u16string_view prog_id) override {
    if (fold_case(prog_id) != fold_case(automation::kApplicationProgId))
      throw AutomationError("unknown ProgID");
    return std::make_shared<EmbeddedApplication>();
  }

  std::shared_ptr<automation::HelperObject> CreateHelper(std::u16string_view prog_id) override {
    const std::u16string id = fold_case(prog_id);
    if (id == fold_case(automation::kHelperFolderProgId)) return make_helper_folder();
    if (id == fold_case(automation::kHelperMailItemProgId)) return make_helper_mail_item();
    for (const auto other :
         {automation::kHelperAppointmentItemProgId, automation::kHelperContactItemProgId,
          automation::kHelperJournalItemProgId, automation::kHelperTaskItemProgId,
          automation::kHelperDistListProgId, automation::kHelperUtilsProgId})
      if (id == fold_case(other)) return std::make_shared<PlainHelper>();
    throw AutomationError("unknown ProgID");
  }
};

}  // namespace

std::shared_ptr<automation::AutomationFactory> make_mail_client_factory() {
  return std::make_shared<MailClientFactory>();
}

void terminate_mail_client() {
  automation_call([] { MailProfile::instance().close_all(); });
}

void set_mail_client_codepage(std::string codepage) {
  MailProfile::instance().set_codepage(std::move(codepage));
}

std::string mail_client_codepage() {
  return MailProfile::instance().codepage();
}

void mail_client_store_renamed(const std::filesystem::path& from, const std::filesystem::path& to) {
  MailProfile::instance().renamed(from, to);
}

}  // namespace pstorian
