// tessmar-screenshots: shows the tool's two windows on the display it is
// given and saves what the display shows of each as a PNG file, so anyone can
// look at what a person sees. scripts/screenshots.sh runs it under Xvfb.
//
//   tessmar-screenshots INSTALLATION-FOLDER OUTPUT-FOLDER

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <iostream>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uQtUserInterface.h"
#include "Tessmar_uToolWindows.h"
#include "ucVersionInfo.h"

namespace {

// Lets the window be mapped and painted.
void Settle(int milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool Capture(QWidget& window, const QString& file) {
  window.show();
  window.raise();
  window.activateWindow();
  Settle(700);
  const QPixmap shot = window.screen()->grabWindow(window.winId());
  window.hide();
  Settle(100);
  return !shot.isNull() && shot.save(file);
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace kelvane;
  QApplication application(argc, argv);
  if (argc != 3) {
    std::cerr << "usage: tessmar-screenshots INSTALLATION-FOLDER OUTPUT-FOLDER\n";
    return 2;
  }
  RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}}));
  const QString folder = QDir(argv[1]).absolutePath() + "/";
  const QString output = QDir(argv[2]).absolutePath();
  QDir().mkpath(output);
  Global().HelpFilePath = HelpFilePathIn(folder.toStdString());

  TQtUserInterface ui;
  TdmProcess process(ui, folder.toStdString(), (folder + "tessmar").toStdString());
  TToolWindows windows(process);
  std::cout << "screen: " << application.primaryScreen()->logicalDotsPerInch() << " dpi, pixel ratio "
            << application.primaryScreen()->devicePixelRatio() << "\n";

  bool ok = Capture(windows.fmPhoto(), output + "/welcome.png");
  windows.PrepareSettings();
  Global().SettingsActivated = false;
  ok = Capture(windows.fmTessmar(), output + "/settings.png") && ok;
  std::cout << (ok ? "saved " : "failed to save ") << output.toStdString() << "/welcome.png and settings.png\n";
  ResetGlobals();
  return ok ? 0 : 1;
}
