// What the desktop program is built from, handed to its windows: the scan, the export and
// the folder listing as the job layer knows them, the dialogs, and how the process ends.
// The program uses default_services(); tests put fakes in their place.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "job/progress_thread.h"
#include "job/second_thread.h"
#include "ui/stored_item.h"
#include "ui/user_dialogs.h"

namespace pstorian {

// The files of one repair (paths in the file system's encoding).
struct RepairPaths {
  std::string source_path;
  std::string output_path;
};

using ExportJobFactory = std::function<std::unique_ptr<ExportJob>(const RepairPaths&)>;
// Builds the listing of the output store; `output_store_index` is what the export reported.
using FolderListerFactory =
    std::function<std::unique_ptr<FolderLister>(const RepairPaths&, int output_store_index)>;

// Reads items of the output store at `output_store_index` for the item view.
using ItemReaderFactory = std::function<std::unique_ptr<StoredItemReader>(int output_store_index)>;

struct UiServices {
  ScanFunction scan;                // none: a scan that finds nothing
  ExportJobFactory make_export;     // none: the export is not available
  FolderListerFactory make_lister;  // none: selecting a folder lists nothing
  ItemReaderFactory make_item_reader;  // none: items do not open
  std::shared_ptr<UserDialogs> dialogs;
  std::function<void(int exit_code)> end_process;  // ends the program's event loop
};

UiServices default_services();

}  // namespace pstorian
