// pstorian: the desktop program. `pstorian [FILE.pst]` opens the file selection dialog with
// FILE.pst chosen (as a file manager does through the desktop entry's %f).
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>
#include <csignal>

#include "ui/main_frame.h"
#include "ui/pstorian_app.h"

int main(int argc, char** argv) {
  // A store file over the size limit then fails the write that met it, which the repair
  // reports, instead of killing the program with the store half-written.
  std::signal(SIGXFSZ, SIG_IGN);
  pstorian::CPstorianApp app(argc, argv);
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Repairs damaged Outlook personal folder files (.pst)."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("FILE.pst"),
                               QStringLiteral("the damaged file to open (only read)"),
                               QStringLiteral("[FILE.pst]"));
  parser.process(app);  // --help and --version print and exit here
  if (!app.init_instance(pstorian::default_services())) return 1;
  const QStringList files = parser.positionalArguments();
  if (!files.isEmpty()) {
    const QString path = QFileInfo(files.first()).absoluteFilePath();
    QTimer::singleShot(0, app.main_frame(), [&app, path] { app.main_frame()->open_pst(path); });
  }
  return app.exec();
}
