#pragma once

// The tool's questions and messages as Qt message boxes, the desktop's "open"
// through Qt, and the help file in a viewer window of the tool's own.

#include <QPointer>

#include "Tessmar_uUserInterface.h"

class QDialog;
class QTextBrowser;
class QWidget;

namespace kelvane {

class TQtUserInterface : public IUserInterface {
 public:
  TQtUserInterface();
  ~TQtUserInterface() override;

  void ShowMessage(TMessageKind kind, const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool Ask(const std::string& text) override;
  bool OpenDocument(const std::string& target) override;
  bool ShowHelp(const std::string& helpFile, int topic) override;
  void ProcessMessages() override;

  // The help viewer, once it has been opened.
  QDialog* HelpViewer() const { return FHelpViewer; }

 private:
  QPointer<QDialog> FHelpViewer;
  QPointer<QTextBrowser> FHelpBrowser;
};

// Text with "\r\n" line ends as Qt shows it.
QString DisplayText(const std::string& text);

// The window a new dialog belongs to: the modal window in front, if any.
QWidget* DialogOwner();

}  // namespace kelvane
