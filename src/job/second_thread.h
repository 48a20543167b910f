// CSecondThread lists the items of one folder of the output store on its own thread. The
// listing itself reads the store back through the embedded mail client; it is given as a
// FolderLister so that this layer does not depend on the mail client.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "job/reporter.h"
#include "job/worker_thread.h"

namespace pstorian {

// One folder name of the path from the folder directly under "Root Folder" down to the
// selected folder ("Root Folder" itself has no entry). UTF-8.
struct PathEntry {
  std::string name;
};

// Lists one folder of the output store: walks `path` from the store's root (names the store
// lacks are passed over), then reports list_clear_items and one list_add_item per mail item,
// or, for a folder of another kind holding items, shows items_in_folder_text(count). It sets
// Stop enabled through the host while it lists and passes `gate` at every item.
class FolderLister {
 public:
  virtual ~FolderLister() = default;
  virtual void list(const std::vector<PathEntry>& path, Reporter& reporter, JobHost& host,
                    JobGate& gate) = 0;
};

class CSecondThread {
 public:
  CSecondThread() = default;
  CSecondThread(const CSecondThread&) = delete;
  CSecondThread& operator=(const CSecondThread&) = delete;
  ~CSecondThread() = default;

  // `reporter` and `host` must outlive the thread.
  void set_listing(std::unique_ptr<FolderLister> lister, std::vector<PathEntry> path,
                   Reporter& reporter, JobHost& host);
  // Runs on the worker after the listing, whatever became of it.
  void set_finished(std::function<void()> finished) { finished_ = std::move(finished); }
  void start();

  JobControl& control() { return worker_.control(); }
  // The thread itself: whether it has ended, waiting for it, what it threw.
  WorkerThread& worker() { return worker_; }
  const WorkerThread& worker() const { return worker_; }

 private:
  std::unique_ptr<FolderLister> lister_;
  std::vector<PathEntry> path_;
  Reporter* reporter_ = nullptr;
  JobHost* host_ = nullptr;
  std::function<void()> finished_;
  WorkerThread worker_;  // last: joined before the parameters go away
};

// Rules of the listing that need no mail client.

// A folder lists its items as mail when its default message class begins with "IPM.Note",
// in any letter case.
bool is_mail_message_class(std::string_view message_class);

// A text for a listing row: up to 499 characters whole, a longer one cut to its first 498
// characters (UTF-8, cut at character boundaries).
std::string fit_row_text(std::string_view text);

// "There are <count> items in this folder", shown for folders of other kinds.
std::string items_in_folder_text(int count);

}  // namespace pstorian
