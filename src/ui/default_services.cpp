#include <QCoreApplication>

#include "ui/ui_services.h"

namespace pstorian {

UiServices default_services() {
  UiServices services;
  // The scan, the export and the listing are wired here as their libraries become available:
  //   services.scan = <the source file scan>;
  //   services.make_export = <builds the export driver for the paths>;
  //   services.make_lister = <builds the folder item listing over the output store>;
  services.dialogs = std::make_shared<QtUserDialogs>();
  services.end_process = [](int exit_code) { QCoreApplication::exit(exit_code); };
  return services;
}

}  // namespace pstorian
