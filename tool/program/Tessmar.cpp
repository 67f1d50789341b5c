// tessmar: the configuration tool, the last step of installing Kelvane.
// With --help, --version or --batch it runs without windows, so it needs no
// display: the arguments are looked at before Qt is started.

#include <QApplication>

#include <iostream>
#include <string>
#include <vector>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uBatch.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uQtUserInterface.h"
#include "Tessmar_uToolWindows.h"
#include "ucPaths.h"
#include "ucVersionInfo.h"

int main(int argc, char* argv[]) {
  using namespace kelvane;
  RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}}));
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  switch (ParseToolCommand(arguments, error)) {
    case TToolCommand::Help:
      std::cout << ToolUsage();
      return 0;
    case TToolCommand::Version:
      std::cout << "tessmar " << GetFileVersionText(false) << "\n";
      return 0;
    case TToolCommand::Error:
      std::cerr << "tessmar: " << error << "\n" << ToolUsage();
      return 1;
    case TToolCommand::Batch: {
      const int status = RunBatch(arguments, ApplicationFolder(), ApplicationFolder() + "tessmar", std::cin, std::cout,
                                  std::cerr);
      ResetGlobals();
      return status;
    }
    case TToolCommand::Windows:
      break;
  }

  QApplication application(argc, argv);
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
