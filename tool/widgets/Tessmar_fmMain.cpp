#include "Tessmar_fmMain.h"

#include <algorithm>

#include <QAction>
#include <QComboBox>
#include <QCloseEvent>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include "Tessmar_fmPhoto.h"
#include "Tessmar_fmSecondFactor.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uUserList.h"

namespace kelvane {
namespace {

using enum TSettingsControl;

// The window's size as designed, in device-independent pixels; Qt scales it
// to the screen's density.
constexpr int DesignWidth = 780;
constexpr int DesignHeight = 600;

QString Text(const std::string& text) { return QString::fromStdString(text); }
std::string Text(const QString& text) { return text.toStdString(); }

// The proxy matters only on the way to the authority, so its explanation
// names the authority's host ("your certificate authority" while none is
// entered).
QString ProxyExplanation(const std::string& authorityURL) {
  std::string host = authorityURL;
  if (const size_t scheme = host.find("://"); scheme != std::string::npos) host.erase(0, scheme + 3);
  host = host.substr(0, host.find_first_of("/?"));
  return "If there is a proxy between you and " + Text(host.empty() ? "your certificate authority" : host) +
         " right now, enter details:";
}

constexpr TCertificateSource Sources[] = {TCertificateSource::Authority, TCertificateSource::Acme,
                                          TCertificateSource::LocalRoot};

}  // namespace

TfmTessmar::TfmTessmar(TdmProcess& process, QWidget* parent)
    : QDialog(parent), FProcess(process), FLogic(std::make_unique<TSettingsFormLogic>(process, *this)) {
  setObjectName("fmTessmar");
  setWindowTitle("Vardex Installation Utility");

  std::vector<TSettingsControl> certificateControls = CertificateControls();
  for (const auto* more : {&AuthorityControls(), &AcmeControls()}) {
    certificateControls.insert(certificateControls.end(), more->begin(), more->end());
  }
  FCertificateGroup = MakeFieldGroup("GroupBoxKMXCertificate", "Vardex Secure Certificate", certificateControls);
  BuildSourceChoice();
  FConfigGroup = MakeFieldGroup("GroupBoxKMXConfig", "Vardex Configuration Settings", ConfigurationControls());
  FProxyGroup = MakeFieldGroup("GroupBoxProxy", "Proxy", ProxyControls(), ProxyExplanation(""));

  FUserGroup = new QGroupBox("Users and Passwords");
  FUserGroup->setObjectName("GroupBoxUserList");
  FMemoUser = new QPlainTextEdit(FUserGroup);
  FMemoUser->setObjectName("MemoUser");
  FMemoUser->setLineWrapMode(QPlainTextEdit::NoWrap);
  FMemoUser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemoUser->setTabChangesFocus(false);
  FMemoUser->setPlainText(Text(JoinMemoLines(TSettingsFields{}.UserLines)));
  FMemoUser->setToolTip(Text(ControlInfo(TSettingsControl::MemoUser).Hint));
  FMemoUser->installEventFilter(this);
  FHintControls[FMemoUser] = TSettingsControl::MemoUser;
  auto* userLayout = new QVBoxLayout(FUserGroup);
  userLayout->addWidget(FMemoUser);
  FSecondFactor = new QPushButton("Second &Factor...", FUserGroup);
  FSecondFactor->setObjectName("btnSecondFactor");
  FSecondFactor->setToolTip("Give the user on the cursor's line a code from an authenticator app as a second factor");
  FSecondFactor->setAutoDefault(false);
  connect(FSecondFactor, &QPushButton::clicked, this, &TfmTessmar::OpenSecondFactor);
  userLayout->addWidget(FSecondFactor, 0, Qt::AlignRight);

  FPanelURL = new QFrame;
  FPanelURL->setObjectName("PanelURL");
  static_cast<QFrame*>(FPanelURL)->setFrameShape(QFrame::StyledPanel);
  auto* urlHeading = new QLabel("Your URL for rebooting with Vardex will be:", FPanelURL);
  urlHeading->setObjectName("LabelURLHeading");
  FLabelURL = new QLabel(FPanelURL);
  FLabelURL->setObjectName("LabelURL");
  FLabelURL->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont urlFont = FLabelURL->font();
  urlFont.setBold(true);
  FLabelURL->setFont(urlFont);
  auto* urlLayout = new QVBoxLayout(FPanelURL);
  urlLayout->addWidget(urlHeading);
  urlLayout->addWidget(FLabelURL);

  FScrollContent = new QWidget;
  FScrollContent->setObjectName("ScrollContent");
  auto* left = new QVBoxLayout;
  left->addWidget(FCertificateGroup);
  left->addWidget(FProxyGroup);
  left->addStretch(1);
  auto* right = new QVBoxLayout;
  right->addWidget(FConfigGroup);
  right->addWidget(FUserGroup, 1);
  auto* columns = new QHBoxLayout;
  columns->addLayout(left, 1);
  columns->addLayout(right, 1);
  auto* content = new QVBoxLayout(FScrollContent);
  content->addLayout(columns, 1);
  content->addWidget(FPanelURL);

  FScrollBox = new QScrollArea;
  FScrollBox->setObjectName("ScrollBox");
  FScrollBox->setFrameShape(QFrame::NoFrame);
  FScrollBox->setWidgetResizable(true);
  FScrollBox->setWidget(FScrollContent);

  BuildMenu();

  FStatusBar = new QStatusBar;
  FStatusBar->setObjectName("StatusBar");
  FStatusBar->setSizeGripEnabled(false);
  FStatusPanel = new QLabel(" ");
  FStatusPanel->setObjectName("StatusPanel");
  FStatusBar->addWidget(FStatusPanel, 1);

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  root->setMenuBar(FMenu);
  root->addWidget(FScrollBox, 1);
  auto* buttonBar = new QWidget;
  buttonBar->setObjectName("ButtonBar");
  root->addWidget(buttonBar);
  root->addWidget(FStatusBar);
  auto* buttons = new QHBoxLayout(buttonBar);
  for (TSettingsControl control : ButtonControls()) {
    auto* button = new QPushButton(ControlInfo(control).Label, buttonBar);
    button->setObjectName(ControlInfo(control).Name);
    button->setToolTip(Text(ControlInfo(control).Hint));
    button->setAutoDefault(false);
    if (control != BtnManual) {
      button->installEventFilter(this);
      FHintControls[button] = control;
    }
    FButtons[control] = button;
    if (control == btnConfigure) buttons->addStretch(1);
    buttons->addWidget(button);
  }
  BuildButtons();

  for (TSettingsControl control : {EditCommonName, EditIPNumber, EditPort, EditLoginPath}) {
    connect(FEdits.at(control), &QLineEdit::textChanged, this, &TfmTessmar::SetLoginURL);
  }
  connect(FEdits.at(EditAuthorityURL), &QLineEdit::textChanged, this, [this](const QString& url) {
    findChild<QLabel*>("GroupBoxProxyExplanation")->setText(ProxyExplanation(Text(url)));
  });
  FormCreate();
}

TfmTessmar::~TfmTessmar() = default;

QGroupBox* TfmTessmar::MakeFieldGroup(const char* name, const char* title,
                                      const std::vector<TSettingsControl>& controls, const QString& explanation) {
  auto* group = new QGroupBox(title);
  group->setObjectName(name);
  auto* layout = new QVBoxLayout(group);
  if (!explanation.isEmpty()) {
    auto* label = new QLabel(explanation, group);
    label->setObjectName(QString(name) + "Explanation");
    label->setWordWrap(true);
    layout->addWidget(label);
  }
  auto* form = new QFormLayout;
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  layout->addLayout(form);
  for (TSettingsControl control : controls) {
    const TSettingsControlInfo& info = ControlInfo(control);
    auto* edit = new QLineEdit(group);
    edit->setObjectName(info.Name);
    if (info.MaxLength > 0) edit->setMaxLength(info.MaxLength);
    edit->setText(Text(TSettingsFields{}.Text(control)));
    edit->setToolTip(Text(info.Hint));
    edit->installEventFilter(this);
    FHintControls[edit] = control;
    auto* label = new QLabel(info.Label, group);
    label->setObjectName(QString("Label") + (info.Name + 4));
    label->setBuddy(edit);
    form->addRow(label, edit);
    FEdits[control] = edit;
  }
  return group;
}

void TfmTessmar::BuildSourceChoice() {
  FSourceChoice = new QComboBox(FCertificateGroup);
  FSourceChoice->setObjectName("ComboCertificateSource");
  for (TCertificateSource source : Sources) FSourceChoice->addItem(CertificateSourceCaption(source));
  FSourceChoice->setToolTip("Choose where Vardex's certificate comes from");
  auto* label = new QLabel("Certificate &from", FCertificateGroup);
  label->setObjectName("LabelCertificateSource");
  label->setBuddy(FSourceChoice);
  CertificateForm()->insertRow(0, label, FSourceChoice);
  connect(FSourceChoice, &QComboBox::currentIndexChanged, this, &TfmTessmar::ShowSourceFields);
  ShowSourceFields();
}

QFormLayout* TfmTessmar::CertificateForm() const {
  return FCertificateGroup->findChild<QFormLayout*>();
}

TCertificateSource TfmTessmar::Source() const {
  const int index = FSourceChoice->currentIndex();
  return index >= 0 && index < static_cast<int>(std::size(Sources)) ? Sources[index] : TCertificateSource::Authority;
}

void TfmTessmar::ShowSourceFields() {
  const TCertificateSource source = Source();
  QFormLayout* form = CertificateForm();
  for (TSettingsControl control : CertificateControls()) {
    if (control != EditCommonName) form->setRowVisible(FEdits.at(control), source != TCertificateSource::Acme);
  }
  for (TSettingsControl control : AuthorityControls()) {
    form->setRowVisible(FEdits.at(control), source == TCertificateSource::Authority);
  }
  for (TSettingsControl control : AcmeControls()) {
    form->setRowVisible(FEdits.at(control), source == TCertificateSource::Acme);
  }
  if (FProxyGroup != nullptr) FProxyGroup->setVisible(source == TCertificateSource::Authority);
}

void TfmTessmar::BuildMenu() {
  FMenu = new QMenuBar(this);
  FMenu->setObjectName("MainMenu");
  QMenu* file = FMenu->addMenu("&File");
  file->setObjectName("miFile");
  FSave = file->addAction("&Save (Continue Installation)");
  FSave->setObjectName("miSave");
  connect(FSave, &QAction::triggered, this, [this] { FLogic->btnConfigureClick(); });
  // Exit goes back to the welcome window without saving, like Back.
  FExit = file->addAction("E&xit (Go Back without saving)");
  FExit->setObjectName("miExit");
  connect(FExit, &QAction::triggered, this, &TfmTessmar::reject);

  QMenu* help = FMenu->addMenu("&Help");
  help->setObjectName("miHelp");
  QAction* helpFile = help->addAction("Display &Help File");
  helpFile->setObjectName("miKMXHelp");
  helpFile->setShortcut(QKeySequence(Qt::Key_F1));
  connect(helpFile, &QAction::triggered, this, [this] { FButtons.at(btnHelp)->click(); });
  QAction* manual = help->addAction("Display Vardex &Manual");
  manual->setObjectName("DisplayKMXManualinAcrobatReader1");
  connect(manual, &QAction::triggered, this, [this] { FProcess.LaunchVardexManual(); });
  QAction* mail = help->addAction("&EMail Support (FREE)");
  mail->setObjectName("EMailSupportFREE1");
  connect(mail, &QAction::triggered, this, [this] { FProcess.LaunchEMailToSupport(); });
  QAction* tutorial = help->addAction("Start Vardex &Tutorial (FREE, in web browser)");
  tutorial->setObjectName("miKMXTutorial");
  connect(tutorial, &QAction::triggered, this, [this] { FProcess.LaunchTutorial(); });
  QAction* about = help->addAction("&About");
  about->setObjectName("miAbout");
  connect(about, &QAction::triggered, this, [this] { FProcess.AboutVardex(); });
}

void TfmTessmar::BuildButtons() {
  connect(FButtons.at(btnAbort), &QPushButton::clicked, this, &TfmTessmar::reject);
  connect(FButtons.at(btnHelp), &QPushButton::clicked, this, &TfmTessmar::btnHelpClick);
  connect(FButtons.at(BtnManual), &QPushButton::clicked, this, [this] { FProcess.LaunchVardexManual(); });
  connect(FButtons.at(btnTutorial), &QPushButton::clicked, this, [this] { FProcess.LaunchTutorial(); });
  QPushButton* configure = FButtons.at(btnConfigure);
  configure->setDefault(true);
  connect(configure, &QPushButton::clicked, this, [this] { FLogic->btnConfigureClick(); });
}

void TfmTessmar::FormCreate() {
  // Qt lays out in device-independent pixels of 1/96 inch and scales them by
  // the pixel ratio, so the screen's pixels per inch are the product.
  Global().ScreenDensity =
      screen() != nullptr ? qRound(screen()->logicalDotsPerInch() * screen()->devicePixelRatio()) : 96;
  FMargin = LayoutMargin(Global().ScreenDensity);
  if (Global().HelpFilePath.empty()) Global().HelpFilePath = HelpFilePathIn(FProcess.Folder());
  FLabelURL->clear();
}

void TfmTessmar::ArrangeLayout() {
  for (QWidget* part : {static_cast<QWidget*>(FCertificateGroup), static_cast<QWidget*>(FConfigGroup),
                        static_cast<QWidget*>(FProxyGroup), static_cast<QWidget*>(FUserGroup), FPanelURL}) {
    part->setVisible(true);
  }
  ShowSourceFields();
  FScrollContent->layout()->setContentsMargins(FMargin, FMargin, FMargin, FMargin);
  FScrollContent->layout()->setSpacing(FMargin);
  FButtons.at(btnAbort)->parentWidget()->layout()->setContentsMargins(FMargin, FMargin, FMargin, FMargin);
  FEdits.at(EditIPNumber)->setEnabled(true);

  // Sized from the design each time, so showing the window again does not
  // make it grow.
  const TWindowSize size = ArrangeWindowSize({DesignWidth, DesignHeight}, Global().ScreenDensity);
  const TWindowSize maximum = MaximumWindowSize(size);
  setMaximumSize(maximum.Width, maximum.Height);
  resize(size.Width, size.Height);
  Global().InitialFocus = EditCommonName;
}

void TfmTessmar::LoadSettings() { FLogic->LoadSettings(); }

void TfmTessmar::SetLoginURL() { FLabelURL->setText(Text(LoginURL(Fields()))); }

void TfmTessmar::FormActivate() {
  if (Global().SettingsActivated) return;
  Global().SettingsActivated = true;
  if (Global().InitialFocus != None) {
    ControlWidget(Global().InitialFocus)->setFocus();
    EditControlEnter(Global().InitialFocus);
  }
  SetLoginURL();
}

void TfmTessmar::EditControlEnter(TSettingsControl control) {
  // The label repaints when the event loop comes back. Running pending
  // events here, inside the focus change of a mouse press, would hand the
  // release to the button before its press and lose the click.
  SetStatusText(ControlInfo(control).Hint);
}

void TfmTessmar::btnHelpClick() { FProcess.ShowHelp(1999); }

TfmSecondFactor* TfmTessmar::OpenSecondFactor() {
  const std::vector<std::string> lines = Fields().UserLines;
  const std::vector<std::string> cursorLine = {Text(FMemoUser->textCursor().block().text())};
  const std::vector<std::string> chosen = UserNames(cursorLine);
  auto* window = new TfmSecondFactor(FProcess, UserNames(lines), chosen.empty() ? "" : chosen.front(),
                                     TOTPIssuer(Fields()), this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->open();
  return window;
}

QWidget* TfmTessmar::ControlWidget(TSettingsControl control) const {
  if (control == TSettingsControl::MemoUser) return FMemoUser;
  if (auto edit = FEdits.find(control); edit != FEdits.end()) return edit->second;
  return FButtons.at(control);
}

QLineEdit* TfmTessmar::Edit(TSettingsControl control) const { return FEdits.at(control); }

QPushButton* TfmTessmar::Button(TSettingsControl control) const { return FButtons.at(control); }

TSettingsFields TfmTessmar::Fields() const {
  TSettingsFields fields;
  for (const auto& [control, edit] : FEdits) fields.Text(control) = Text(edit->text());
  fields.UserLines = SplitMemoLines(Text(FMemoUser->toPlainText()));
  fields.Source = Source();
  return fields;
}

void TfmTessmar::SetFields(const TSettingsFields& fields) {
  for (const auto& [control, edit] : FEdits) edit->setText(Text(fields.Text(control)));
  FMemoUser->setPlainText(Text(JoinMemoLines(fields.UserLines)));
  const auto* found = std::find(std::begin(Sources), std::end(Sources), fields.Source);
  FSourceChoice->setCurrentIndex(static_cast<int>(found - std::begin(Sources)));
}

void TfmTessmar::SetFieldText(TSettingsControl control, const std::string& text) {
  FEdits.at(control)->setText(Text(text));
}

void TfmTessmar::SetStatusText(const std::string& text) { FStatusPanel->setText(Text(text)); }

void TfmTessmar::SetSequenceRunning(bool running) {
  FSequenceRunning = running;
  FButtons.at(btnConfigure)->setEnabled(!running);
  FButtons.at(btnAbort)->setEnabled(!running);
  FSave->setEnabled(!running);
  FExit->setEnabled(!running);
}

void TfmTessmar::CloseWithOK() { accept(); }

void TfmTessmar::reject() {
  if (FSequenceRunning) return;
  QDialog::reject();
}

void TfmTessmar::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  CentreOnScreen(*this);
  // Activation follows the showing; without a window manager it may never
  // come, so the first showing counts as an activation too.
  QTimer::singleShot(0, this, &TfmTessmar::FormActivate);
}

void TfmTessmar::closeEvent(QCloseEvent* event) {
  if (FSequenceRunning) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

bool TfmTessmar::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) FormActivate();
  return QDialog::event(event);
}

bool TfmTessmar::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn) {
    if (auto found = FHintControls.find(watched); found != FHintControls.end()) EditControlEnter(found->second);
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace kelvane
