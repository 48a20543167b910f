// The embedded mail client as the program creates it: one factory for the application
// ("Outlook.Application") and the helper objects (the "RavelinDll.*" ProgIDs), and the way
// to end the client.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "mailclient/automation/helper_component.h"

namespace pstorian {

std::shared_ptr<automation::AutomationFactory> make_mail_client_factory();

// Ends the mail client: every attached store is checkpointed and its file released. The
// stores stay in the profile and are opened again when a later application uses them.
// Throws automation::StoreFailure when a store's checkpoint failed (now or earlier); that
// store's file is then at its last completed checkpoint, and every store was released.
void terminate_mail_client();

// The code page of the 8-bit texts in stores attached from now on (an iconv name;
// "WINDOWS-1252" unless set).
void set_mail_client_codepage(std::string codepage);
std::string mail_client_codepage();

// The file of an attached store was renamed from `from` to `to` while the client had it
// released: the store opens it under the new name from now on.
void mail_client_store_renamed(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace pstorian
