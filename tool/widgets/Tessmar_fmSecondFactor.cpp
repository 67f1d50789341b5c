#include "Tessmar_fmSecondFactor.h"

#include <algorithm>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "Tessmar_dmProcess.h"

namespace kelvane {
namespace {

constexpr int QuietZone = 4;
// Big enough for a phone's camera at arm's length, small enough for the window.
constexpr int ModulePixels = 5;

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

QImage QRCodeImage(const TQRMatrix& matrix, int moduleSize) {
  const int side = (matrix.Width + 2 * QuietZone) * moduleSize;
  QImage image(side, side, QImage::Format_Mono);
  image.setColor(0, qRgb(255, 255, 255));
  image.setColor(1, qRgb(0, 0, 0));
  image.fill(0);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const int moduleX = x / moduleSize - QuietZone;
      const int moduleY = y / moduleSize - QuietZone;
      if (moduleX >= 0 && moduleY >= 0 && moduleX < matrix.Width && moduleY < matrix.Width &&
          matrix.At(moduleX, moduleY)) {
        image.setPixel(x, y, 1);
      }
    }
  }
  return image;
}

TfmSecondFactor::TfmSecondFactor(TdmProcess& process, const std::vector<std::string>& users,
                                 const std::string& chosen, std::string issuer, QWidget* parent)
    : QDialog(parent), FProcess(process), FIssuer(std::move(issuer)) {
  setObjectName("fmSecondFactor");
  setWindowTitle("Second Factor (TOTP)");

  auto* explanation = new QLabel(
      "A user with a second factor signs in with a password and the 6-digit code an authenticator app shows. "
      "Make a secret, then scan the QR code with the user's app. A new secret replaces the user's old one.",
      this);
  explanation->setObjectName("LabelExplanation");
  explanation->setWordWrap(true);

  FUserChoice = new QComboBox(this);
  FUserChoice->setObjectName("ComboUser");
  for (const std::string& user : users) FUserChoice->addItem(Text(user));
  FUserChoice->setCurrentIndex(std::max(0, FUserChoice->findText(Text(chosen))));
  FMakeSecret = new QPushButton("&Make Secret", this);
  FMakeSecret->setObjectName("btnMakeSecret");
  FMakeSecret->setEnabled(!users.empty());
  connect(FMakeSecret, &QPushButton::clicked, this, &TfmSecondFactor::btnMakeSecretClick);

  auto* form = new QFormLayout;
  auto* userLabel = new QLabel("&User", this);
  userLabel->setBuddy(FUserChoice);
  form->addRow(userLabel, FUserChoice);

  FImage = new QLabel(this);
  FImage->setObjectName("ImageQRCode");
  FImage->setAlignment(Qt::AlignCenter);
  FImage->setMinimumSize(200, 200);
  FAddress = new QLineEdit(this);
  FAddress->setObjectName("EditAddress");
  FAddress->setReadOnly(true);
  FAddress->setToolTip("The address in the QR code, for an app that takes it typed or pasted");

  auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(explanation);
  layout->addLayout(form);
  layout->addWidget(FMakeSecret);
  layout->addWidget(FImage, 1);
  layout->addWidget(FAddress);
  layout->addWidget(close);
}

void TfmSecondFactor::btnMakeSecretClick() {
  const std::string user = FUserChoice->currentText().toStdString();
  if (user.empty()) return;
  if (!FProcess.UI().Confirm("Give " + user + " a new second factor? A secret " + user +
                             " had before stops working.")) {
    return;
  }
  TTOTPEnrolment enrolment;
  std::string error;
  TQRMatrix matrix;
  if (!GiveTOTPSecret(FProcess, user, FIssuer, enrolment, error) ||
      !EncodeQRCode(enrolment.Address, matrix, error)) {
    FProcess.ReportError(error);
    return;
  }
  FEnrolment = std::move(enrolment);
  FImage->setPixmap(QPixmap::fromImage(QRCodeImage(matrix, ModulePixels)));
  FAddress->setText(Text(FEnrolment.Address));
}

}  // namespace kelvane
