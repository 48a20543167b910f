#include <QCoreApplication>

#include "engine/pst_scanner.h"
#include "export/folder_item_lister.h"
#include "export/pst_exporter.h"
#include "ui/ui_services.h"

namespace pstorian {

UiServices default_services() {
  UiServices services;
  services.scan = [](const std::string& source_path, RecoveryTables& tables, ProgressSink& progress,
                     JobGate& gate) {
    CPstScanner scanner(tables, progress, gate);
    return scanner.scan(source_path);
  };
  services.make_export = [](const RepairPaths& paths) -> std::unique_ptr<ExportJob> {
    return std::make_unique<CPstExporter>(
        ExportSettings{paths.source_path, paths.output_path, std::string()},
        make_mail_client());
  };
  services.make_lister = [](const RepairPaths&,
                            int output_store_index) -> std::unique_ptr<FolderLister> {
    return std::make_unique<FolderItemLister>(make_mail_client(), output_store_index);
  };
  services.make_item_reader = [](int output_store_index) {
    return make_mail_client_item_reader(output_store_index);
  };
  services.dialogs = std::make_shared<QtUserDialogs>();
  services.end_process = [](int exit_code) { QCoreApplication::exit(exit_code); };
  return services;
}

}  // namespace pstorian
