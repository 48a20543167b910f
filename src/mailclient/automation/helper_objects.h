// The embedded helper component: a helper folder that creates messages in the folder bound
// to it, and a helper mail item that reads and writes the bound item's properties by tag.
#pragma once

#include <memory>

#include "mailclient/automation/helper_component.h"

namespace pstorian {

std::shared_ptr<automation::HelperFolder> make_helper_folder();
std::shared_ptr<automation::HelperMailItem> make_helper_mail_item();

}  // namespace pstorian
