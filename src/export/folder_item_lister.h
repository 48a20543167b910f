// The listing of one folder of the output store after a repair: reaches the output store
// through the mail client by its position among the client's stores, walks the selected
// folder's path from the store's root (names the store lacks are passed over), and lists
// each mail item's sender, receiver, subject and delivery date. For a folder of another
// kind it only tells how many items it holds.
#pragma once

#include <memory>
#include <vector>

#include "export/mail_client.h"
#include "job/second_thread.h"
#include "mailclient/automation/automation.h"

namespace pstorian {

class FolderItemLister final : public FolderLister {
 public:
  // `output_store_index` is the 1-based position the export reported; 0 lists nothing.
  FolderItemLister(MailClient mail_client, int output_store_index)
      : mail_client_(std::move(mail_client)), output_store_index_(output_store_index) {}
  FolderItemLister(const FolderItemLister&) = delete;
  FolderItemLister& operator=(const FolderItemLister&) = delete;

  void list(const std::vector<PathEntry>& path, Reporter& reporter, JobHost& host,
            JobGate& gate) override;

 private:
  std::shared_ptr<automation::Folder> walk(const std::vector<PathEntry>& path);
  void list_folder(automation::Folder& folder, Reporter& reporter, JobHost& host, JobGate& gate);

  MailClient mail_client_;
  int output_store_index_ = 0;
  std::shared_ptr<automation::Application> application_;
  std::shared_ptr<automation::Namespace> namespace_;
  std::shared_ptr<automation::HelperMailItem> helper_mail_item_;
  std::shared_ptr<automation::Folder> store_root_;
};

}  // namespace pstorian
