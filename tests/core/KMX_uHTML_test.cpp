#include "KMX_uHTML.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "TempDir.h"

namespace kelvane {
namespace {

using testing::FakeClock;
using testing::LocalTimePoint;
using testing::ReadFile;
using testing::TempDir;

const std::string ShutdownButton =
    "&nbsp;&nbsp; or &nbsp;&nbsp;<input type=\"submit\" name=\"Action\" value=\"Shutdown\"/>";
const std::string AllMacros =
    "$Request|$ActionTime|$ActionTaken|$SecurityNote|$Error|$CommonName|$EvalEnds|$OptionalShutdown|$KMXVer|$CommonName";

std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

std::set<std::string> MacrosIn(const std::string& text) {
  std::set<std::string> macros;
  const std::regex macro(R"(\$[A-Za-z]+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), macro); it != std::sregex_iterator(); ++it) {
    macros.insert(it->str());
  }
  return macros;
}

class HTMLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    html.SetCommonName("server.example");
    html.SetNotAfter(LocalTimePoint(2030, 12, 31, 12, 0, 0));
    html.SetVersion("4.5.0.8");
  }

  void WriteTemplate(const std::string& name, const std::string& content) const {
    dir.WriteFile("Web/" + name, content);
  }
  // Replaces a template the way an editor saves it: written beside it, then
  // renamed over it, so a reader sees the old or the new file, never half.
  void ReplaceTemplate(const std::string& name, const std::string& content) const {
    const std::string staged = dir.WriteFile("Web/" + name + ".new", content);
    std::filesystem::rename(staged, dir.Path() + "Web/" + name);
  }
  void EmptyTemplates() const {
    for (const char* name : {"KMX_Login.html", "KMX_Confirm.html", "KMX_Error.html"}) WriteTemplate(name, "");
  }

  std::string Login() const { return html.GetLoginPage("Result_Vardex_Login"); }
  std::string Confirm() const { return html.GetConfirmPage("Server reboot initiated.", "It was the first usage by admin"); }
  std::string Error() const { return html.GetErrorPage("You are not authorized."); }

  TempDir dir;
  FakeClock clock{LocalTimePoint(2013, 1, 9, 7, 50, 29)};
  THTML html{dir.Path(), clock.AsClock()};
};

struct PageCase {
  const char* file;
  std::function<std::string()> render;
  std::string expected;
};

TEST_F(HTMLTest, EveryMacroOfThePageIsReplacedAndTheOthersStay) {
  html.SetShutdownAllowed(true);
  const std::vector<PageCase> cases = {
      {"KMX_Login.html", [this] { return Login(); },
       "Result_Vardex_Login|09-Jan-2013 07:50:29|$ActionTaken|$SecurityNote|$Error|server.example|"
       "31-Dec-2030 12:00:00|" + ShutdownButton + "|4.5.0.8|server.example"},
      {"KMX_Confirm.html", [this] { return Confirm(); },
       "$Request|09-Jan-2013 07:50:29|Server reboot initiated.|It was the first usage by admin|$Error|"
       "server.example|31-Dec-2030 12:00:00|$OptionalShutdown|4.5.0.8|server.example"},
      {"KMX_Error.html", [this] { return Error(); },
       "$Request|09-Jan-2013 07:50:29|$ActionTaken|$SecurityNote|You are not authorized.|server.example|"
       "31-Dec-2030 12:00:00|$OptionalShutdown|4.5.0.8|server.example"},
  };
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.file);
    WriteTemplate(c.file, AllMacros);
    EXPECT_EQ(c.render(), c.expected);
  }
}

TEST_F(HTMLTest, EachReplacementWorksOnTheResultOfTheOneBefore) {
  WriteTemplate("KMX_Error.html", "[$Error]");
  WriteTemplate("KMX_Confirm.html", "[$ActionTaken]");
  // "$KMXVer" comes after "$Error", "$ActionTime" before it.
  EXPECT_EQ(html.GetErrorPage("v$KMXVer at $ActionTime"), "[v4.5.0.8 at $ActionTime]");
  EXPECT_EQ(html.GetConfirmPage("done; $SecurityNote", "note"), "[done; note]");
}

TEST_F(HTMLTest, TheLoginPageOffersShutdownOnlyWhenAllowed) {
  EmptyTemplates();
  const std::string without = Login();
  EXPECT_EQ(without.find("value=\"Shutdown\""), std::string::npos);
  EXPECT_EQ(without.find("$OptionalShutdown"), std::string::npos);
  EXPECT_NE(without.find("<div class=\"apart\"></div>"), std::string::npos);

  html.SetShutdownAllowed(true);
  const std::string with = Login();
  EXPECT_NE(with.find("<div class=\"apart\">" + ShutdownButton + "</div>"), std::string::npos);
  html.SetShutdownAllowed(false);
  EXPECT_EQ(Login(), without);
}

// The built-in pages are the shipped templates: with the template files empty
// (or unusable) the pages come out exactly as from the files in Web/.
TEST_F(HTMLTest, EmptyTemplateFilesGiveTheShippedPages) {
  html.SetShutdownAllowed(true);
  for (const char* name : {"KMX_Login.html", "KMX_Confirm.html", "KMX_Error.html"}) {
    std::ifstream file(std::string(KELVANE_SOURCE_DIR) + "/Web/" + name, std::ios::binary);
    WriteTemplate(name, std::string(std::istreambuf_iterator<char>(file), {}));
  }
  const std::string login = Login(), confirm = Confirm(), error = Error();
  EmptyTemplates();
  EXPECT_EQ(Login(), login);
  EXPECT_EQ(Confirm(), confirm);
  EXPECT_EQ(Error(), error);

  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {login,
       {"<title>KMX Login</title>", "action=\"Result_Vardex_Login\"", "server.example", "09-Jan-2013 07:50:29",
        "name=\"UserName\"", "name=\"Password\"", "name=\"Code\"", "value=\"Reload Configuration\"",
        "value=\"Reboot\"", ShutdownButton, "31-Dec-2030 12:00:00", "4.5.0.8"}},
      {confirm, {"<title>KMX Confirmation</title>", "Server reboot initiated.", "It was the first usage by admin"}},
      {error, {"<title>KMX Error</title>", "You are not authorized."}},
  };
  for (const auto& [page, parts] : cases) {
    EXPECT_EQ(page.find('$'), std::string::npos) << page;
    for (const std::string& part : parts) EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
  }
  EXPECT_EQ(confirm.find("<form"), std::string::npos);
}

struct DecodeCase {
  const char* name;
  std::string file;
  std::string page;  // empty: the built-in page
};

TEST_F(HTMLTest, TemplateFilesAreDecodedToIso88591WithReferencesBeyondIt) {
  const std::vector<DecodeCase> cases = {
      {"UTF-16 LE with mark", "\xFF\xFE" + Utf16Le(u"<p>\u00E9\u20AC\U0001F600</p>"),
       "<p>\xE9&#8364;&#128512;</p>"},
      {"UTF-16 odd last byte dropped", std::string("\xFF\xFE" "A\0B\0C", 7), "AB"},
      {"UTF-16 lone surrogate", std::string("\xFF\xFE\x00\xD8" "A\0", 6), "&#65533;A"},
      {"UTF-8 with mark", "\xEF\xBB\xBF<p>\xC3\xA9\xE2\x82\xAC</p>", "<p>\xE9&#8364;</p>"},
      {"UTF-8 with mark, malformed bytes", "\xEF\xBB\xBF" "a\xC3(\xFF\xE2\x82" "b", "a&#65533;(&#65533;&#65533;b"},
      {"ASCII with UTF-8 mark", "\xEF\xBB\xBF<p>Hi</p>", "<p>Hi</p>"},
      {"ASCII without mark", "<p>Hi</p>", "<p>Hi</p>"},
      {"UTF-8 without mark is read as code page 1252", "<p>\xE2\x82\xAC</p>", "<p>\xE2&#8218;\xAC</p>"},
      {"code page 1252", "\x80 \x93q\x94 \xE9 \x81", "&#8364; &#8220;q&#8221; \xE9 \x81"},
      {"file shorter than a mark", "\xE9!", "\xE9!"},
      {"zero bytes", "", ""},
      {"nothing but the UTF-8 mark", "\xEF\xBB\xBF", ""},
      {"nothing but the UTF-16 mark", "\xFF\xFE", ""},
      {"UTF-16 mark and one odd byte", "\xFF\xFE" "A", ""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir app;
    app.WriteFile("Web/KMX_Error.html", c.file);
    THTML renderer(app.Path(), clock.AsClock());
    const std::string page = renderer.GetErrorPage("x");
    if (c.page.empty()) {
      EXPECT_NE(page.find("<title>KMX Error</title>"), std::string::npos) << page;
    } else {
      EXPECT_EQ(page, c.page);
    }
  }
}

TEST_F(HTMLTest, AMissingTemplateFileFailsThatPageOnly) {
  WriteTemplate("KMX_Login.html", "login");
  WriteTemplate("KMX_Error.html", "error");
  try {
    Confirm();
    FAIL() << "no error for a missing template";
  } catch (const EFileOpenError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot open file \"" + dir.Path() + "Web/KMX_Confirm.html\". No such file or directory");
  }
  EXPECT_EQ(Login(), "login");
  EXPECT_EQ(Error(), "error");
  // A folder in place of the file cannot be opened as a template either.
  std::filesystem::create_directories(dir.Path() + "Web/KMX_Confirm.html");
  clock.Advance(std::chrono::seconds(2));
  EXPECT_THROW(Confirm(), EFileOpenError);
}

TEST_F(HTMLTest, TemplateNamesMatchWhateverTheirCase) {
  dir.WriteFile("web/kmx_error.HTML", "[$Error]");
  EXPECT_EQ(Error(), "[You are not authorized.]");
}

TEST_F(HTMLTest, AChangedTemplateFileShowsWithinASecond) {
  WriteTemplate("KMX_Error.html", "old $Error");
  EXPECT_EQ(html.GetErrorPage("e"), "old e");

  WriteTemplate("KMX_Error.html", "new $Error");
  clock.Advance(std::chrono::milliseconds(1100));
  EXPECT_EQ(html.GetErrorPage("e"), "new e");

  std::filesystem::remove(dir.Path() + "Web/KMX_Error.html");
  clock.Advance(std::chrono::milliseconds(1100));
  EXPECT_THROW(html.GetErrorPage("e"), EFileOpenError);

  WriteTemplate("KMX_Error.html", "");
  clock.Advance(std::chrono::milliseconds(1100));
  EXPECT_NE(html.GetErrorPage("e").find("<title>KMX Error</title>"), std::string::npos);
}

TEST_F(HTMLTest, ATemplateTooLargeToServeGivesTheBuiltInPageAndIsReported) {
  std::vector<std::string> problems;
  html.SetProblemSink([&](const std::string& problem) { problems.push_back(problem); });
  WriteTemplate("KMX_Error.html", "$Error" + std::string(256 * 1024, 'x'));
  EXPECT_NE(html.GetErrorPage("e").find("<title>KMX Error</title>"), std::string::npos);
  clock.Advance(std::chrono::milliseconds(1100));
  EXPECT_NE(html.GetErrorPage("e").find("<title>KMX Error</title>"), std::string::npos);
  ASSERT_EQ(problems.size(), 1u) << "reported once, not on every look at the file";
  EXPECT_EQ(problems[0], "Template file \"" + dir.Path() + "Web/KMX_Error.html\" is larger than 262144 bytes; the "
                         "built-in page is sent instead.");

  WriteTemplate("KMX_Error.html", "$Error" + std::string(256 * 1024 - 6, 'x'));
  clock.Advance(std::chrono::milliseconds(1100));
  EXPECT_EQ(html.GetErrorPage("e").size(), 256u * 1024 - 5);
}

TEST_F(HTMLTest, TheShippedTemplatesUseThePagesMacrosAndRenderCompletely) {
  const std::filesystem::path shipped = std::filesystem::path(KELVANE_SOURCE_DIR) / "Web";
  struct ShippedCase {
    const char* file;
    std::set<std::string> macros;
    std::function<std::string()> render;
    std::vector<std::string> parts;
  };
  html.SetShutdownAllowed(true);
  const std::vector<ShippedCase> cases = {
      {"KMX_Login.html",
       {"$Request", "$ActionTime", "$CommonName", "$EvalEnds", "$OptionalShutdown", "$KMXVer"},
       [this] { return Login(); },
       {"<title>KMX Login</title>", "action=\"Result_Vardex_Login\"", "name=\"UserName\"", "name=\"Password\"",
        "value=\"Reload Configuration\"", "value=\"Reboot\"", ShutdownButton}},
      {"KMX_Confirm.html",
       {"$ActionTime", "$ActionTaken", "$SecurityNote", "$CommonName", "$EvalEnds", "$KMXVer"},
       [this] { return Confirm(); },
       {"<title>KMX Confirmation</title>", "Server reboot initiated.", "It was the first usage by admin"}},
      {"KMX_Error.html",
       {"$ActionTime", "$Error", "$CommonName", "$EvalEnds", "$KMXVer"},
       [this] { return Error(); },
       {"<title>KMX Error</title>", "You are not authorized."}},
  };
  for (const ShippedCase& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string text = ReadFile((shipped / c.file).string());
    ASSERT_FALSE(text.empty());
    // Plain ASCII reads the same whichever way a file is decoded.
    for (char ch : text) ASSERT_LT(static_cast<unsigned char>(ch), 0x80);
    EXPECT_EQ(MacrosIn(text), c.macros);

    WriteTemplate(c.file, text);
    const std::string page = c.render();
    EXPECT_TRUE(MacrosIn(page).empty()) << page;
    std::vector<std::string> parts = c.parts;
    parts.insert(parts.end(), {"server.example", "09-Jan-2013 07:50:29", "Valid until 31-Dec-2030 12:00:00", "4.5.0.8"});
    for (const std::string& part : parts) EXPECT_NE(page.find(part), std::string::npos) << part;
  }
}

TEST_F(HTMLTest, PagesRenderConcurrentlyWhileTheTemplateAndSettingsChange) {
  WriteTemplate("KMX_Login.html", "A $KMXVer$OptionalShutdown");
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const std::string page = html.GetLoginPage("r");
        const bool known = page == "A 4.5.0.8" || page == "A 4.5.0.9" || page == "A 4.5.0.8" + ShutdownButton ||
                           page == "A 4.5.0.9" + ShutdownButton || page == "B" || page.rfind("<!DOCTYPE html>", 0) == 0;
        if (!known) ++bad;
        clock.Advance(std::chrono::milliseconds(50));
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    ReplaceTemplate("KMX_Login.html", i % 3 == 0 ? "B" : i % 3 == 1 ? "" : "A $KMXVer$OptionalShutdown");
    html.SetShutdownAllowed(i % 2 == 0);
    html.SetVersion(i % 2 == 0 ? "4.5.0.8" : "4.5.0.9");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace kelvane
