// The texts that the scan, the export and the listing hand the windows come from layers
// without Qt, in English. Here they are put into the user's language where they are known,
// and each message gets the icon it deserves: the end of a repair, a folder count or a
// declined overwrite informs, everything else a worker has to say is an error.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <string_view>

#include "ui/user_dialogs.h"

namespace pstorian {

class WorkerTexts {
  Q_DECLARE_TR_FUNCTIONS(pstorian::WorkerTexts)

 public:
  // The text translated when it is one the workers are known to send, else as it came.
  static QString translated(std::string_view text);
  static MessageIcon icon_of(std::string_view text);
  // The export's message that the repair ran to its end.
  static bool is_completion(std::string_view text);
};

}  // namespace pstorian
