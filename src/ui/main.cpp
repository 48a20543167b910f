// pstorian: the desktop program.
#include "ui/main_frame.h"
#include "ui/pstorian_app.h"

int main(int argc, char** argv) {
  pstorian::CPstorianApp app(argc, argv);
  if (!app.init_instance(pstorian::default_services())) return 1;
  return app.exec();
}
