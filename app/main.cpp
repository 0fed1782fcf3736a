// Rekovia: the recovery program.
#include "undelete_app.h"

int main(int argc, char** argv) {
  CUndeleteApp app(argc, argv);
  return app.run();
}
