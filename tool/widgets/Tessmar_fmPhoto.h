#pragma once

// The welcome window, first window of every cycle of the tool.

#include <QDialog>

class QLabel;
class QPushButton;

namespace kelvane {

class TdmProcess;

class TfmPhoto : public QDialog {
  Q_OBJECT

 public:
  explicit TfmPhoto(TdmProcess& process, QWidget* parent = nullptr);

  QPushButton* btnAbort() const { return FAbort; }
  QPushButton* btnNext() const { return FNext; }
  QLabel* Image1() const { return FImage; }

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void btnAbortClick();
  void Image1Click();

  TdmProcess& FProcess;
  QLabel* FImage = nullptr;
  QPushButton* FAbort = nullptr;
  QPushButton* FNext = nullptr;
};

// Places a window in the middle of the screen it is on.
void CentreOnScreen(QWidget& window);

}  // namespace kelvane
