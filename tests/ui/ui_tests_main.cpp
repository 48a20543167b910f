// Runs the desktop program's Qt Test suites in one application.
#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

namespace pstorian::testing {
int run_select_file_dialog_tests(int argc, char** argv);
int run_main_frame_tests(int argc, char** argv);
int run_about_help_tests(int argc, char** argv);
int run_real_repair_tests(int argc, char** argv);
}  // namespace pstorian::testing

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // The windows keep their size and place in the user's settings: never the real user's.
  const QTemporaryDir settings;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
  using namespace pstorian::testing;
  int failures = 0;
  failures += run_select_file_dialog_tests(argc, argv);
  failures += run_main_frame_tests(argc, argv);
  failures += run_about_help_tests(argc, argv);
  failures += run_real_repair_tests(argc, argv);
  return failures == 0 ? 0 : 1;
}
