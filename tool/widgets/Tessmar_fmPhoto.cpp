#include "Tessmar_fmPhoto.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uPicture.h"
#include "Tessmar_uProduct.h"

namespace kelvane {

void CentreOnScreen(QWidget& window) {
  QScreen* screen = window.screen();
  if (screen == nullptr) return;
  const QRect available = screen->availableGeometry();
  const QSize size = window.frameSize().isValid() ? window.frameSize() : window.size();
  window.move(available.center() - QPoint(size.width() / 2, size.height() / 2));
}

TfmPhoto::TfmPhoto(TdmProcess& process, QWidget* parent) : QDialog(parent), FProcess(process) {
  setObjectName("fmPhoto");
  setWindowTitle("Kelvane: Welcome");

  auto* heading = new QLabel("Kelvane: Welcome", this);
  heading->setObjectName("LabelHeading");
  QFont headingFont = heading->font();
  headingFont.setPointSizeF(headingFont.pointSizeF() * 1.6);
  headingFont.setBold(true);
  heading->setFont(headingFont);
  heading->setAlignment(Qt::AlignHCenter);

  auto* slogan = new QLabel(product::Slogan, this);
  slogan->setObjectName("LabelSlogan");
  slogan->setAlignment(Qt::AlignHCenter);

  FImage = new QLabel(this);
  FImage->setObjectName("Image1");
  FImage->setFixedSize(PictureWidth, PictureHeight);
  FImage->setPixmap(DrawWelcomePicture(devicePixelRatioF()));
  FImage->setCursor(Qt::PointingHandCursor);
  FImage->setToolTip("About this picture");
  FImage->installEventFilter(this);

  FAbort = new QPushButton("Cancel", this);
  FAbort->setObjectName("btnAbort");
  FAbort->setToolTip("Cancel KMX installation");
  FAbort->setAutoDefault(false);
  FNext = new QPushButton("&Next", this);
  FNext->setObjectName("btnNext");
  FNext->setToolTip("Save settings, request secure certificate, and continue KMX installation");
  FNext->setDefault(true);
  connect(FAbort, &QPushButton::clicked, this, &TfmPhoto::btnAbortClick);
  connect(FNext, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(FAbort);
  buttons->addWidget(FNext);

  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(heading);
  layout->addWidget(slogan);
  layout->addSpacing(6);
  layout->addWidget(FImage, 0, Qt::AlignHCenter);
  layout->addSpacing(6);
  layout->addLayout(buttons);
}

void TfmPhoto::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The picture follows the screen's pixel density, which is known only now.
  FImage->setPixmap(DrawWelcomePicture(devicePixelRatioF()));
  CentreOnScreen(*this);
  FNext->setFocus();
}

bool TfmPhoto::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FImage && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    Image1Click();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TfmPhoto::btnAbortClick() {
  FProcess.LogCancel();
  reject();
}

void TfmPhoto::Image1Click() { FProcess.AboutPhoto(); }

}  // namespace kelvane
