#pragma once

// The window that gives a user of the list a second factor: the user's name,
// the button that makes a new secret and writes it to Vardex.cfg, and the
// secret's otpauth:// address as a QR code for an authenticator app.

#include <QDialog>
#include <QImage>
#include <string>
#include <vector>

#include "Tessmar_uQRCode.h"
#include "Tessmar_uSecondFactor.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kelvane {

class TdmProcess;

// Dark modules black on white, `moduleSize` pixels each, inside a white
// quiet zone of four modules.
QImage QRCodeImage(const TQRMatrix& matrix, int moduleSize);

class TfmSecondFactor : public QDialog {
  Q_OBJECT

 public:
  // `users` are the names of the user list, `chosen` the one proposed (the
  // first when it is not among them), `issuer` what the app shows beside the
  // codes.
  TfmSecondFactor(TdmProcess& process, const std::vector<std::string>& users, const std::string& chosen,
                  std::string issuer, QWidget* parent = nullptr);

  QComboBox* UserChoice() const { return FUserChoice; }
  QPushButton* btnMakeSecret() const { return FMakeSecret; }
  QLabel* ImageQRCode() const { return FImage; }
  QLineEdit* EditAddress() const { return FAddress; }
  // The last secret made here ("" fields before the first).
  const TTOTPEnrolment& Enrolment() const { return FEnrolment; }

 private:
  void btnMakeSecretClick();

  TdmProcess& FProcess;
  std::string FIssuer;
  TTOTPEnrolment FEnrolment;
  QComboBox* FUserChoice = nullptr;
  QPushButton* FMakeSecret = nullptr;
  QLabel* FImage = nullptr;
  QLineEdit* FAddress = nullptr;
};

}  // namespace kelvane
