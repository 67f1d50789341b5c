#include "Tessmar_uQtUserInterface.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace kelvane {
namespace {

// A standard message box with a fixed caption per kind, plain text and the
// given buttons; answers the button pressed.
QMessageBox::StandardButton RunBox(QMessageBox::Icon icon, const char* caption, const std::string& text,
                                   QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
  QMessageBox box(icon, caption, DisplayText(text), buttons, DialogOwner());
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(defaultButton);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

QUrl TargetUrl(const std::string& target) {
  const QString text = QString::fromStdString(target);
  if (text.startsWith('/')) return QUrl::fromLocalFile(text);
  return QUrl(text, QUrl::TolerantMode);
}

}  // namespace

QString DisplayText(const std::string& text) {
  QString shown = QString::fromStdString(text);
  shown.replace("\r\n", "\n");
  return shown;
}

QWidget* DialogOwner() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return QApplication::activeWindow();
}

TQtUserInterface::TQtUserInterface() = default;

TQtUserInterface::~TQtUserInterface() { delete FHelpViewer.data(); }

void TQtUserInterface::ShowMessage(TMessageKind kind, const std::string& text) {
  switch (kind) {
    case TMessageKind::Information:
      RunBox(QMessageBox::Information, "Information", text, QMessageBox::Ok, QMessageBox::Ok);
      break;
    case TMessageKind::Warning:
      RunBox(QMessageBox::Warning, "Warning", text, QMessageBox::Ok, QMessageBox::Ok);
      break;
    case TMessageKind::Error:
      RunBox(QMessageBox::Critical, "Error", text, QMessageBox::Ok, QMessageBox::Ok);
      break;
  }
}

bool TQtUserInterface::Confirm(const std::string& text) {
  return RunBox(QMessageBox::Question, "Confirm", text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) ==
         QMessageBox::Ok;
}

bool TQtUserInterface::Ask(const std::string& text) {
  return RunBox(QMessageBox::Question, "Confirm", text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
         QMessageBox::Yes;
}

bool TQtUserInterface::OpenDocument(const std::string& target) { return QDesktopServices::openUrl(TargetUrl(target)); }

bool TQtUserInterface::ShowHelp(const std::string& helpFile, int topic) {
  const QString path = QString::fromStdString(helpFile);
  if (!QFileInfo(path).isReadable()) return false;
  if (FHelpViewer == nullptr) {
    // The viewer belongs to the modal window in front, so that window does
    // not block it.
    FHelpViewer = new QDialog(DialogOwner(), Qt::Window);
    FHelpViewer->setObjectName("HelpViewer");
    FHelpViewer->setWindowTitle("Vardex Help");
    FHelpViewer->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(FHelpViewer);
    layout->setContentsMargins(0, 0, 0, 0);
    FHelpBrowser = new QTextBrowser(FHelpViewer);
    FHelpBrowser->setObjectName("HelpBrowser");
    FHelpBrowser->setOpenExternalLinks(true);
    layout->addWidget(FHelpBrowser);
    FHelpViewer->resize(640, 520);
  }
  QUrl source = QUrl::fromLocalFile(path);
  source.setFragment(QString::number(topic));
  FHelpBrowser->setSource(source);
  if (FHelpBrowser->document()->isEmpty()) return false;
  FHelpBrowser->scrollToAnchor(QString::number(topic));
  FHelpViewer->show();
  FHelpViewer->raise();
  FHelpViewer->activateWindow();
  return true;
}

void TQtUserInterface::ProcessMessages() { QCoreApplication::processEvents(); }

}  // namespace kelvane
