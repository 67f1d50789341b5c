// tessmar: the configuration tool, the last step of installing Kelvane.

#include <QApplication>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uQtUserInterface.h"
#include "Tessmar_uToolWindows.h"
#include "ucPaths.h"
#include "ucVersionInfo.h"

int main(int argc, char* argv[]) {
  using namespace kelvane;
  QApplication application(argc, argv);
  RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}}));
  Global().HelpFilePath = HelpFilePathIn(ApplicationFolder());
  {
    TQtUserInterface ui;
    TdmProcess process(ui, ApplicationFolder(), QCoreApplication::applicationFilePath().toStdString());
    TToolWindows windows(process);
    process.Main(windows);
  }
  ResetGlobals();
  return 0;
}
