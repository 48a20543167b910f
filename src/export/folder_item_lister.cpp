#include "export/folder_item_lister.h"

#include "export/pst_exporter.h"
#include "export/time_conversion.h"
#include "export/wide_text.h"
#include "store/question_asker.h"

namespace pstorian {
using automation::AutomationError;

void FolderItemLister::list(const std::vector<PathEntry>& path, Reporter& reporter, JobHost& host,
                            JobGate& gate) {
  application_ = create_application(mail_client_);
  if (!application_) {
    host.show_message(kNoMailClientText, kMessageCaption);
    return;
  }
  try {
    helper_mail_item_ = std::dynamic_pointer_cast<automation::HelperMailItem>(
        mail_client_.factory->CreateHelper(automation::kHelperMailItemProgId));
    if (!helper_mail_item_) return;
    namespace_ = application_->GetNamespace(automation::kNamespaceType);
    const auto stores = namespace_->get_Folders();
    if (output_store_index_ <= 0) return;
    store_root_ = stores->Item(output_store_index_);
    if (!store_root_) return;
  } catch (const AutomationError&) {
    return;
  }

  host.set_stop_enabled(true);
  if (!path.empty()) {
    // A failure while reading the folder ends the listing with what was listed so far.
    try {
      list_folder(*walk(path), reporter, host, gate);
    } catch (const AutomationError&) {
    }
  }
  host.set_stop_enabled(false);
}

std::shared_ptr<automation::Folder> FolderItemLister::walk(const std::vector<PathEntry>& path) {
  std::shared_ptr<automation::Folder> current = store_root_;
  for (const PathEntry& entry : path) {
    std::shared_ptr<automation::Folders> subfolders;
    try {
      subfolders = current->get_Folders();
    } catch (const AutomationError&) {
    }
    if (!subfolders) break;
    try {
      if (auto next = subfolders->Item(utf8_to_utf16(entry.name))) current = std::move(next);
    } catch (const AutomationError&) {
      // Folders of the source's own structure are not in the output store.
    }
  }
  return current;
}

void FolderItemLister::list_folder(automation::Folder& folder, Reporter& reporter, JobHost& host,
                                   JobGate& gate) {
  const bool mail = is_mail_message_class(utf16_to_utf8(folder.get_DefaultMessageClass()));
  reporter.list_clear_items();
  const auto items = folder.get_Items();
  if (!items) return;
  if (!mail) {
    const int count = items->Count();
    if (count > 0) host.show_message(items_in_folder_text(count), kMessageCaption);
    return;
  }
  for (std::int32_t i = 1; i <= items->Count(); ++i) {
    if (!gate.pass()) return;
    ItemRowRecord row;
    try {
      auto item = items->Item(i);
      if (!item) continue;
      helper_mail_item_->put_BoundObject(item);
      row.receiver = fit_row_text(utf16_to_utf8(helper_mail_item_->get_DisplayTo()));
      row.sender = fit_row_text(utf16_to_utf8(helper_mail_item_->get_SenderName()));
      row.subject = fit_row_text(utf16_to_utf8(item->get_Subject()));
      const automation::PropertyValue delivery =
          helper_mail_item_->get_Property(automation::tag::kMessageDeliveryTime);
      if (const auto* date = std::get_if<automation::OleDate>(&delivery)) {
        row.date = listing_date_text(date->days);
      }
      helper_mail_item_->put_BoundObject(nullptr);
    } catch (const AutomationError&) {
      continue;  // an item that cannot be read is left out
    }
    reporter.list_add_item(row);
  }
}

}  // namespace pstorian
