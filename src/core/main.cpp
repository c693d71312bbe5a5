// Program entry of the launchers. The product (installer or uninstaller) and whether console
// mode starts on are chosen when this file is compiled for each executable.
#include "core/profile.h"
#include "core/startup.h"
#include "ui/output.h"

int main(int argc, char **argv) {
  SelectProduct(Product::LAUNCHER_PRODUCT);
#if LAUNCHER_WINDOWED
  SetPrintToConsole(0);
#endif
  return LauncherMain(argc, argv);
}
