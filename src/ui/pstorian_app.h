// CPstorianApp, the application: sets the names the program is known by, loads the
// translation for the user's locale when one is installed, and shows the main window,
// normally, whatever state the desktop asked for. Its command line (--help, --version and a
// file to open) is read in main.cpp; Qt's own options, such as -platform, still apply.
#pragma once

#include <QApplication>
#include <memory>

#include "ui/ui_services.h"

namespace pstorian {

class CMainFrame;

class CPstorianApp final : public QApplication {
  Q_OBJECT

 public:
  CPstorianApp(int& argc, char** argv);
  ~CPstorianApp() override;

  // Creates and shows the main window; false when it could not be created.
  bool init_instance(UiServices services);
  CMainFrame* main_frame() const { return main_frame_.get(); }

 private:
  std::unique_ptr<CMainFrame> main_frame_;
};

}  // namespace pstorian
