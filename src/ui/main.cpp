// pstorian: the desktop program.
#include <csignal>

#include "ui/main_frame.h"
#include "ui/pstorian_app.h"

int main(int argc, char** argv) {
  // A store file over the size limit then fails the write that met it, which the repair
  // reports, instead of killing the program with the store half-written.
  std::signal(SIGXFSZ, SIG_IGN);
  pstorian::CPstorianApp app(argc, argv);
  if (!app.init_instance(pstorian::default_services())) return 1;
  return app.exec();
}
