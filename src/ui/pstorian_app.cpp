#include "ui/pstorian_app.h"

#include <QIcon>

#include "ui/main_frame.h"
#include "ui/translations.h"

namespace pstorian {

CPstorianApp::CPstorianApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Pstorian"));
  setOrganizationName(QStringLiteral("Corvane"));
  setApplicationVersion(QStringLiteral(PSTORIAN_VERSION));
  setWindowIcon(QIcon(QStringLiteral(":/icons/pstorian.svg")));
  setDesktopFileName(QStringLiteral("pstorian"));
  install_translations(*this, QLocale(), translations_folder());
}

CPstorianApp::~CPstorianApp() = default;

bool CPstorianApp::init_instance(UiServices services) {
  main_frame_ = std::make_unique<CMainFrame>(std::move(services));
  main_frame_->showNormal();
  return true;
}

}  // namespace pstorian
