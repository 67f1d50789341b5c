#include "Tessmar_fmMain.h"

#include <gtest/gtest.h>

#include <regex>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest/QTest>

#include "ScriptedUserInterface.h"
#include "Tessmar_fmPhoto.h"
#include "Tessmar_fmSecondFactor.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uLog.h"
#include "Tessmar_uPicture.h"
#include "Tessmar_uQtUserInterface.h"
#include "Tessmar_uToolWindows.h"
#include "ToolInstallation.h"
#include "ucIniFile.h"
#include "ucText.h"

#include <qrencode.h>

// Fontconfig keeps a cache for the life of the process and frees it never.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace kelvane {
namespace {

using enum TSettingsControl;
using testing::TToolInstallation;

// Every Qt warning fails the test that caused it, except the offscreen
// platform's notes about window-manager features it does not have.
void FailOnQtWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtDebugMsg || type == QtInfoMsg) return;
  if (message.startsWith("This plugin does not support")) return;
  ADD_FAILURE() << "Qt: " << message.toStdString();
}

QApplication& App() {
  static QApplication* application = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(FailOnQtWarnings);
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
      // Qt warns when the runtime folder is missing; a private one will do.
      static QTemporaryDir runtime;
      QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
      qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    }
    static int argc = 1;
    static char name[] = "Tessmar_fmMain_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *application;
}

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

std::string Std(const QString& text) { return text.toStdString(); }

class SettingsWindow : public ::testing::Test {
 protected:
  SettingsWindow() {
    App();
    Form = std::make_unique<TfmTessmar>(*Tool.Process);
  }
  ~SettingsWindow() override { Form.reset(); }

  void Show() {
    Form->ArrangeLayout();
    Form->LoadSettings();
    Global().SettingsActivated = false;
    Form->show();
    Settle();
  }

  std::string Status() const { return Std(Form->StatusPanel()->text()); }

  TToolInstallation Tool;
  std::unique_ptr<TfmTessmar> Form;
};

TEST_F(SettingsWindow, GroupsFieldsAndTheirFacts) {
  EXPECT_EQ(Std(Form->windowTitle()), "Vardex Installation Utility");
  const std::vector<std::pair<const char*, const char*>> groups = {
      {"GroupBoxKMXCertificate", "Vardex Secure Certificate"},
      {"GroupBoxKMXConfig", "Vardex Configuration Settings"},
      {"GroupBoxUserList", "Users and Passwords"},
      {"GroupBoxProxy", "Proxy"}};
  for (const auto& [name, title] : groups) {
    auto* group = Form->findChild<QGroupBox*>(name);
    ASSERT_NE(group, nullptr) << name;
    EXPECT_EQ(Std(group->title()), title);
  }
  struct TFieldFacts {
    TSettingsControl Control;
    const char* Label;
    int MaxLength;
    const char* DesignText;
  };
  const TFieldFacts fields[] = {
      {EditCommonName, "Common &Name", 64, ""},   {EditCountry, "Country Code", 2, "US"},
      {EditProvince, "State", 32767, ""},         {EditLocality, "Locality (City)", 32767, ""},
      {EditOrganization, "Organization", 32767, ""}, {EditOrgSection, "Org Section", 32767, ""},
      {EditEMail, "EMail", 40, ""},               {EditIPNumber, "IP Number", 15, ""},
      {EditPort, "Vardex Port", 5, "443"},        {EditLoginPath, "Login Path", 32767, ""},
      {EditProxy, "Proxy IP or name:", 32767, ""}, {EditProxyPort, "Proxy Port", 5, ""},
  };
  for (const TFieldFacts& facts : fields) {
    QLineEdit* edit = Form->Edit(facts.Control);
    EXPECT_EQ(edit->maxLength(), facts.MaxLength) << facts.Label;
    EXPECT_EQ(Std(edit->text()), facts.DesignText) << facts.Label;
    const auto labels = Form->findChildren<QLabel*>();
    const bool labelled = std::any_of(labels.begin(), labels.end(),
                                      [&](QLabel* label) { return label->buddy() == edit && Std(label->text()) == facts.Label; });
    EXPECT_TRUE(labelled) << facts.Label;
  }
  EXPECT_EQ(Std(Form->MemoUser()->toPlainText()), "") << "no sample users with known passwords";
  EXPECT_EQ(Form->MemoUser()->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_FALSE(Form->MemoUser()->tabChangesFocus());
  EXPECT_EQ(Std(Form->findChild<QLabel*>("GroupBoxProxyExplanation")->text()),
            "If there is a proxy between you and your certificate authority right now, enter details:");
  EXPECT_EQ(Status(), " ");
  EXPECT_EQ(Std(Form->LabelURL()->text()), "");
}

// The choice of the certificate's source shows the fields that source needs,
// travels with the fields both ways, and the proxy's explanation names the
// authority's host as it is typed.
TEST_F(SettingsWindow, TheSourceChoiceShowsItsFields) {
  QComboBox* choice = Form->SourceChoice();
  ASSERT_EQ(choice->count(), 3);
  struct TCase {
    TCertificateSource Source;
    bool Subject, Authority, Acme, Proxy;
  };
  const TCase cases[] = {
      {TCertificateSource::Authority, true, true, false, true},
      {TCertificateSource::Acme, false, false, true, false},
      {TCertificateSource::LocalRoot, true, false, false, false},
  };
  for (const TCase& test : cases) {
    SCOPED_TRACE(CertificateSourceName(test.Source));
    TSettingsFields fields = Form->Fields();
    fields.Source = test.Source;
    Form->SetFields(fields);
    EXPECT_EQ(Form->Fields().Source, test.Source);
    EXPECT_EQ(!Form->Edit(EditCountry)->isHidden(), test.Subject);
    EXPECT_EQ(!Form->Edit(EditAuthorityURL)->isHidden(), test.Authority);
    EXPECT_EQ(!Form->Edit(EditAcmeDirectory)->isHidden(), test.Acme);
    EXPECT_EQ(!Form->Edit(EditAcmeEMail)->isHidden(), test.Acme);
    EXPECT_EQ(!Form->findChild<QGroupBox*>("GroupBoxProxy")->isHidden(), test.Proxy);
    EXPECT_FALSE(Form->Edit(EditCommonName)->isHidden());
  }
  EXPECT_EQ(Std(Form->Edit(EditAcmeDirectory)->text()), "https://acme-v02.api.letsencrypt.org/directory");
  Form->Edit(EditAuthorityURL)->setText("http://ca.example.org:8080/certreq");
  EXPECT_EQ(Std(Form->findChild<QLabel*>("GroupBoxProxyExplanation")->text()),
            "If there is a proxy between you and ca.example.org:8080 right now, enter details:");
}

TEST_F(SettingsWindow, ButtonsAndMenu) {
  const std::vector<std::pair<TSettingsControl, const char*>> buttons = {
      {btnAbort, "Ba&ck"}, {btnHelp, "Help"}, {BtnManual, "Manual"}, {btnTutorial, "Tutorial"},
      {btnConfigure, "C&ontinue Installation"}};
  int previousX = -1;
  Show();
  for (const auto& [control, caption] : buttons) {
    EXPECT_EQ(Std(Form->Button(control)->text()), caption);
    EXPECT_GT(Form->Button(control)->x(), previousX) << caption << " stands right of the one before";
    previousX = Form->Button(control)->x();
  }
  EXPECT_TRUE(Form->Button(btnConfigure)->isDefault());

  std::vector<std::string> items;
  for (QAction* menu : Form->MainMenu()->actions()) {
    items.push_back(Std(menu->text()));
    for (QAction* item : menu->menu()->actions()) {
      items.push_back("  " + Std(item->text()) +
                      (item->shortcut().isEmpty() ? "" : " [" + Std(item->shortcut().toString()) + "]"));
    }
  }
  EXPECT_EQ(items, (std::vector<std::string>{"&File", "  &Save (Continue Installation)",
                                             "  E&xit (Go Back without saving)", "&Help",
                                             "  Display &Help File [F1]",
                                             "  Display Vardex &Manual", "  &EMail Support (FREE)",
                                             "  Start Vardex &Tutorial (FREE, in web browser)", "  &About"}));
}

// An X server without a window manager, or a tool driving the mouse, may
// hand over a button's press and release together. The press gives the
// button the focus, whose hint must not run the pending release before the
// press itself has been handled: that lost the click, and "Continue
// Installation" needed a second one.
TEST_F(SettingsWindow, APressAndReleaseThatArriveTogetherAreOneClick) {
  Tool.UI.OnProcessMessages = [] { QCoreApplication::processEvents(); };
  Show();
  Form->Edit(EditPort)->setText("8443");
  QPushButton* button = Form->Button(btnConfigure);
  ASSERT_NE(QApplication::focusWidget(), button);
  const QPointF centre = QRectF(button->rect()).center();
  QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, centre, button->mapToGlobal(centre),
                                                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
  QTest::mousePress(button, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
  Settle();
  EXPECT_EQ(Tool.UI.Of("error"), (std::vector<std::string>{"Enter at least one Username and Password."}))
      << "one press and one release make one click";
  EXPECT_FALSE(button->isDown());
}

TEST_F(SettingsWindow, FirstActivationFocusesTheCommonNameAndShowsThePreview) {
  Show();
  EXPECT_TRUE(Global().SettingsActivated);
  EXPECT_EQ(QApplication::focusWidget(), Form->Edit(EditCommonName));
  EXPECT_EQ(Status(), "Enter domain name or IP number of machine-to-be-rebooted, e.g. server.example.com");
  const std::string proposed = Std(Form->Edit(EditLoginPath)->text());
  EXPECT_TRUE(std::regex_match(proposed, std::regex("Door_[A-Za-z0-9]{16}"))) << proposed;
  EXPECT_EQ(Std(Form->LabelURL()->text()), " https://:443/" + proposed + " ");

  Form->Edit(EditIPNumber)->setText("203.0.113.5");
  EXPECT_EQ(Std(Form->LabelURL()->text()), " https://203.0.113.5:443/" + proposed + " ");
  Form->Edit(EditCommonName)->setText("reboot.example.com");
  Form->Edit(EditPort)->setText("8443");
  Form->Edit(EditLoginPath)->setText("Door");
  EXPECT_EQ(Std(Form->LabelURL()->text()), " https://reboot.example.com:8443/Door ");
}

TEST_F(SettingsWindow, EachControlPutsItsHintIntoTheStatusBar) {
  Show();
  Form->Edit(EditProvince)->setFocus();
  Settle();
  EXPECT_EQ(Status(), "Enter state or province, such as California. Enter \"n/a\" if not applicable.");
  Form->Edit(EditIPNumber)->setFocus();
  Settle();
  EXPECT_EQ(Status(), "Enter the IP number corresponding to the Common Name, or blank to use first IP on the machine. ");
  Form->MemoUser()->setFocus();
  Settle();
  EXPECT_EQ(Status(), "Enter list of one or more users who may reboot the computer.");
  Form->Edit(EditEMail)->setFocus();
  Settle();
  EXPECT_EQ(Status(), "") << "a control without a hint empties the panel";
  Form->Button(btnTutorial)->setFocus();
  Settle();
  EXPECT_EQ(Status(), "Launch Vardex tutorial in your web browser");
  Form->Button(BtnManual)->setFocus();
  Settle();
  EXPECT_EQ(Status(), "Launch Vardex tutorial in your web browser") << "Manual leaves the panel alone";
}

TEST_F(SettingsWindow, LoadsTheFileBeforeEachShowing) {
  Tool.Dir.WriteFile("Vardex.cfg", "[Configuration]\r\nCommonName=from.file\r\n[UserList]\r\na=b\r\n");
  Show();
  Form->Edit(EditCommonName)->setText("edited");
  Form->hide();
  Show();
  EXPECT_EQ(Std(Form->Edit(EditCommonName)->text()), "from.file");
  EXPECT_EQ(Std(Form->MemoUser()->toPlainText()), "a=b");
}

// The second-factor window proposes the user on the memo's cursor line,
// writes the secret it makes to [TOTP], and draws exactly the QR code of the
// address it shows.
TEST_F(SettingsWindow, SecondFactorWritesTheSecretAndDrawsItsAddress) {
  Tool.Dir.WriteFile("Vardex.cfg", "[Configuration]\r\nCommonName=reboot.example.com\r\n"
                                   "[UserList]\r\nalice=a\r\nbob=$y$j9T$abc$def\r\ncarol=c\r\n");
  Show();
  QTextCursor cursor = Form->MemoUser()->textCursor();
  cursor.movePosition(QTextCursor::Down);
  Form->MemoUser()->setTextCursor(cursor);
  Form->btnSecondFactor()->click();
  Settle();
  auto* window = Form->findChild<TfmSecondFactor*>();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  ASSERT_EQ(window->UserChoice()->count(), 3);
  EXPECT_EQ(Std(window->UserChoice()->currentText()), "bob");
  EXPECT_TRUE(window->ImageQRCode()->pixmap().isNull());

  Tool.UI.Answers = {true};
  window->btnMakeSecret()->click();
  ASSERT_EQ(Tool.UI.Of("confirm").size(), 1u);
  const std::string secret = TIniReader(Tool.Read("Vardex.cfg")).ReadString("TOTP", "bob", "");
  ASSERT_EQ(secret.size(), 32u);
  const std::string address =
      "otpauth://totp/Vardex%20reboot.example.com:bob?secret=" + secret + "&issuer=Vardex%20reboot.example.com";
  EXPECT_EQ(Std(window->EditAddress()->text()), address);

  QRcode* code = QRcode_encodeString(address.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
  ASSERT_NE(code, nullptr);
  const QImage image = window->ImageQRCode()->pixmap().toImage();
  const int quiet = 4;
  ASSERT_EQ(image.width() % (code->width + 2 * quiet), 0);
  const int module = image.width() / (code->width + 2 * quiet);
  int differing = 0;
  for (int y = -quiet; y < code->width + quiet; ++y) {
    for (int x = -quiet; x < code->width + quiet; ++x) {
      const bool inside = x >= 0 && y >= 0 && x < code->width && y < code->width;
      const bool dark = inside && (code->data[y * code->width + x] & 1) != 0;
      const QRgb pixel = image.pixel((x + quiet) * module + module / 2, (y + quiet) * module + module / 2);
      if (dark != (qGray(pixel) < 128)) ++differing;
    }
  }
  QRcode_free(code);
  EXPECT_EQ(differing, 0);
  window->close();
}

TEST_F(SettingsWindow, WhileTheSequenceRunsItCannotBeStartedAgainOrClosed) {
  Show();
  Form->SetSequenceRunning(true);
  EXPECT_FALSE(Form->Button(btnConfigure)->isEnabled());
  EXPECT_FALSE(Form->Button(btnAbort)->isEnabled());
  EXPECT_FALSE(Form->miSave()->isEnabled());
  EXPECT_FALSE(Form->miExit()->isEnabled());
  EXPECT_TRUE(Form->Button(btnHelp)->isEnabled());
  Form->reject();
  Form->close();
  Settle();
  EXPECT_TRUE(Form->isVisible());
  Form->SetSequenceRunning(false);
  Form->Button(btnAbort)->click();
  Settle();
  EXPECT_FALSE(Form->isVisible());
  EXPECT_EQ(Form->result(), QDialog::Rejected);
}

TEST_F(SettingsWindow, HelpButtonAndF1OpenTheWindowsTopic) {
  Show();
  Form->Button(btnHelp)->click();
  Form->findChild<QAction*>("miKMXHelp")->trigger();
  const std::string help = "help: " + Tool.Folder + "Docs/vardex.html#1999";
  EXPECT_EQ(Tool.UI.Shown, (std::vector<std::string>{help, help}));
}

TEST_F(SettingsWindow, ContinueRunsTheSaveSequence) {
  Show();
  Form->Edit(EditPort)->setText("8443");
  Form->Edit(EditCountry)->setText("nz");
  Form->MemoUser()->setPlainText("");
  Form->Button(btnConfigure)->click();
  EXPECT_EQ(Tool.UI.Of("error"), (std::vector<std::string>{"Enter at least one Username and Password."}));
  EXPECT_TRUE(Form->Button(btnConfigure)->isEnabled());
  EXPECT_TRUE(Form->isVisible());
}

TEST(Tessmar_fmMain, LayoutFollowsTheDensity) {
  EXPECT_EQ(LayoutMargin(96), 6);
  EXPECT_EQ(LayoutMargin(120), 7);
  EXPECT_EQ(LayoutMargin(144), 8);
  EXPECT_EQ(ArrangeWindowSize({780, 600}, 96), (TWindowSize{780, 605}));
  EXPECT_EQ(ArrangeWindowSize({780, 600}, 120), (TWindowSize{780, 600}));
  EXPECT_EQ(MaximumWindowSize({780, 605}), (TWindowSize{790, 615}));

  App();
  TToolInstallation tool;
  TfmTessmar form(*tool.Process);
  form.ArrangeLayout();
  form.ArrangeLayout();
  EXPECT_EQ(Global().ScreenDensity, 96);
  EXPECT_EQ(form.size(), QSize(780, 605)) << "arranging again does not grow the window";
  EXPECT_EQ(form.maximumSize(), QSize(790, 615));
}

// ---------------------------------------------------------------- welcome

TEST(Tessmar_fmPhoto, WelcomeWindow) {
  App();
  TToolInstallation tool;
  TfmPhoto photo(*tool.Process);
  EXPECT_EQ(Std(photo.windowTitle()), "Kelvane: Welcome");
  EXPECT_EQ(Std(photo.findChild<QLabel*>("LabelHeading")->text()), "Kelvane: Welcome");
  EXPECT_EQ(photo.Image1()->size(), QSize(PictureWidth, PictureHeight));
  EXPECT_EQ(Std(photo.btnAbort()->text()), "Cancel");
  EXPECT_EQ(Std(photo.btnAbort()->toolTip()), "Cancel KMX installation");
  EXPECT_EQ(Std(photo.btnNext()->text()), "&Next");
  EXPECT_EQ(Std(photo.btnNext()->toolTip()),
            "Save settings, request secure certificate, and continue KMX installation");

  photo.show();
  Settle();
  QMouseEvent click(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(photo.Image1(), &click);
  ASSERT_EQ(tool.UI.Of("information").size(), 1u);
  EXPECT_NE(tool.UI.Of("information")[0].find("drawn for Kelvane"), std::string::npos);

  photo.btnAbort()->click();
  EXPECT_EQ(photo.result(), QDialog::Rejected);
  EXPECT_NE(tool.Read("tessmar_cancel.log").find(Utf8ToUtf16LE(" Configuration cancelled\r\n")), std::string::npos);
}

TEST(Tessmar_fmPhoto, ThePictureIsDrawnAtTheScreensDensity) {
  App();
  const QPixmap picture = DrawWelcomePicture(1.25);
  EXPECT_EQ(picture.size(), QSize(460, 344));
  EXPECT_EQ(picture.deviceIndependentSize().toSize(), QSize(368, 275));
  const QImage image = picture.toImage();
  EXPECT_NE(image.pixelColor(10, 10), image.pixelColor(10, 330)) << "sky above, hills below";
}

// ------------------------------------------------------------ the windows

TEST(Tessmar_ToolWindows, BackReturnsToTheWelcomeWindowAndCancelEndsTheRun) {
  App();
  TToolInstallation tool;
  TToolWindows windows(*tool.Process);
  tool.UI.Answers = {true};
  std::vector<std::string> seen;
  // Presses the buttons a person would, as each modal window comes up.
  QTimer driver;
  driver.setInterval(20);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    if (windows.fmPhoto().isVisible()) {
      seen.push_back("welcome");
      (seen.size() == 1 ? windows.fmPhoto().btnNext() : windows.fmPhoto().btnAbort())->click();
    } else if (windows.fmTessmar().isVisible()) {
      seen.push_back("settings: " + Std(windows.fmTessmar().LabelURL()->text()));
      windows.fmTessmar().Button(btnAbort)->click();
    }
  });
  driver.start();
  tool.Process->Main(windows);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], "welcome");
  EXPECT_TRUE(std::regex_match(seen[1], std::regex("settings:  https://:443/Door_[A-Za-z0-9]{16} ")))
      << seen[1] << ": a new installation is proposed a login path nobody can guess";
  EXPECT_EQ(seen[2], "welcome");
  EXPECT_FALSE(tool.Exists("Vardex.cfg")) << "showing the settings writes nothing";
  EXPECT_EQ(tool.UI.Shown, (std::vector<std::string>{"ask: Do you want to cancel the installation of Vardex?"}));
  EXPECT_TRUE(tool.Exists("tessmar_cancel.log"));
}

// ------------------------------------------------------------ help viewer

TEST(Tessmar_QtUserInterface, HelpViewerOpensAtTheTopic) {
  App();
  TToolInstallation tool;
  tool.Dir.WriteFile("Docs/help.html",
                     "<html><body><h1><a name=\"1999\"></a>Start</h1><p>text</p><h2><a name=\"1097\"></a>Users</h2>"
                     "</body></html>");
  TQtUserInterface ui;
  EXPECT_FALSE(ui.ShowHelp(tool.Folder + "Docs/missing.html", 1999));
  ASSERT_TRUE(ui.ShowHelp(tool.Folder + "Docs/help.html", 1097));
  ASSERT_NE(ui.HelpViewer(), nullptr);
  EXPECT_TRUE(ui.HelpViewer()->isVisible());
  auto* browser = ui.HelpViewer()->findChild<QTextBrowser*>("HelpBrowser");
  EXPECT_EQ(Std(browser->source().fragment()), "1097");
  EXPECT_NE(Std(browser->toPlainText()).find("Users"), std::string::npos);
}

TEST(Tessmar_QtUserInterface, ShippedHelpFileHasEveryTopic) {
  App();
  const QString helpFile = QString(KELVANE_SOURCE_DIR) + "/Docs/vardex.html";
  QFile file(helpFile);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const std::string html = file.readAll().toStdString();
  for (int topic : {1091, 1092, 1093, 1094, 1095, 1096, 1097, 1999}) {
    EXPECT_NE(html.find("<a name=\"" + std::to_string(topic) + "\"></a>"), std::string::npos) << topic;
  }
}

}  // namespace
}  // namespace kelvane
