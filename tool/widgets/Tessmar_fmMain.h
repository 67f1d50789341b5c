#pragma once

// The settings window: where the administrator enters the listener address
// and port, the login path, the users, the certificate's subject and a proxy.
// Its logic lives in TSettingsFormLogic; this class is the widgets.

#include <QDialog>
#include <map>
#include <memory>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uSettingsForm.h"

class QAction;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QStatusBar;

namespace kelvane {

class TfmSecondFactor;

class TfmTessmar : public QDialog, public ISettingsWindow {
  Q_OBJECT

 public:
  explicit TfmTessmar(TdmProcess& process, QWidget* parent = nullptr);
  ~TfmTessmar() override;

  // Before each showing: groups, margins, size and the field that takes the focus.
  void ArrangeLayout();
  // Fills the fields from the configuration file.
  void LoadSettings();
  // The login address preview, from the fields as they are now.
  void SetLoginURL();

  // ISettingsWindow
  TSettingsFields Fields() const override;
  void SetFields(const TSettingsFields& fields) override;
  void SetFieldText(TSettingsControl control, const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void SetSequenceRunning(bool running) override;
  void CloseWithOK() override;

  TSettingsFormLogic& Logic() { return *FLogic; }

  // The widgets, for the driver and for tests.
  QLineEdit* Edit(TSettingsControl control) const;
  QPushButton* Button(TSettingsControl control) const;
  QPlainTextEdit* MemoUser() const { return FMemoUser; }
  QPushButton* btnSecondFactor() const { return FSecondFactor; }

  // Opens the second-factor window (window-modal, closed by the person) for
  // the users of the list, proposing the one on the cursor's line.
  TfmSecondFactor* OpenSecondFactor();
  QComboBox* SourceChoice() const { return FSourceChoice; }
  QLabel* LabelURL() const { return FLabelURL; }
  QLabel* StatusPanel() const { return FStatusPanel; }
  QMenuBar* MainMenu() const { return FMenu; }
  QAction* miSave() const { return FSave; }
  QAction* miExit() const { return FExit; }

 public slots:
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate();
  void FormActivate();
  void EditControlEnter(TSettingsControl control);
  void btnHelpClick();
  QGroupBox* MakeFieldGroup(const char* name, const char* title, const std::vector<TSettingsControl>& controls,
                            const QString& explanation = QString());
  void BuildMenu();
  // The choice of the certificate's source, above the certificate fields,
  // and the fields and groups each source needs.
  void BuildSourceChoice();
  void ShowSourceFields();
  TCertificateSource Source() const;
  QFormLayout* CertificateForm() const;
  void BuildButtons();
  QWidget* ControlWidget(TSettingsControl control) const;

  TdmProcess& FProcess;
  std::unique_ptr<TSettingsFormLogic> FLogic;
  int FMargin = 6;
  bool FSequenceRunning = false;

  std::map<TSettingsControl, QLineEdit*> FEdits;
  std::map<TSettingsControl, QPushButton*> FButtons;
  std::map<QObject*, TSettingsControl> FHintControls;
  QPlainTextEdit* FMemoUser = nullptr;
  QPushButton* FSecondFactor = nullptr;
  QComboBox* FSourceChoice = nullptr;
  QGroupBox* FCertificateGroup = nullptr;
  QGroupBox* FConfigGroup = nullptr;
  QGroupBox* FUserGroup = nullptr;
  QGroupBox* FProxyGroup = nullptr;
  QWidget* FPanelURL = nullptr;
  QLabel* FLabelURL = nullptr;
  QLabel* FStatusPanel = nullptr;
  QStatusBar* FStatusBar = nullptr;
  QMenuBar* FMenu = nullptr;
  QScrollArea* FScrollBox = nullptr;
  QWidget* FScrollContent = nullptr;
  QAction* FSave = nullptr;
  QAction* FExit = nullptr;
};

}  // namespace kelvane
