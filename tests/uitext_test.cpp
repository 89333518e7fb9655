// The texts a person reads: the catalogues beside the pictures, their reader,
// the locale chosen from the system's preferences, and the core speaking it.
#include <cstdlib>
#include <map>
#include <regex>
#include <set>

#include "LCInstallerEndpoints.h"
#include "LCLocale.h"
#include "LCStringTable.h"
#include "uicore_test_support.h"

namespace {

std::set<std::string> Placeholders(const std::string& text) {
  std::set<std::string> names;
  const std::regex placeholder("\\{[a-z]+\\}");
  for (std::sregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it) names.insert(it->str());
  return names;
}

// A catalogue whose English drifted from the code, a lost or stale entry or
// a dropped {code} would show a person the wrong text, or English.
TEST(LCInstallerTextTest, EveryCatalogueIsValidCompleteAndKeepsThePlaceholders) {
  for (const std::string& locale : LCLocale::Available()) {
    SCOPED_TRACE(locale);
    const std::string path = std::string(CLIPVANE_ASSET_DIR) + "/" + locale + "/strings.po";
    EXPECT_EQ(0, std::system(("msgfmt --check -o /dev/null '" + path + "'").c_str()));
    LCStringTable table;
    ASSERT_TRUE(table.LoadFromFile(KWPath(path.c_str())));
    for (const auto& english : LCInstallerText::EnglishTexts()) {
      SCOPED_TRACE(english.first);
      const KWString* source = table.FindSource(english.first);
      ASSERT_NE(nullptr, source);
      EXPECT_EQ(english.second, source->GetUTF8String());
      const KWString* text = table.Find(english.first);
      if (locale == "en") {
        EXPECT_EQ(nullptr, text);  // English is the compiled-in text
        continue;
      }
      ASSERT_NE(nullptr, text);
      EXPECT_EQ(Placeholders(english.second), Placeholders(text->GetUTF8String()));
    }
    EXPECT_EQ(locale == "en" ? 0u : LCInstallerText::EnglishTexts().size(), table.Size());
  }
}

TEST(LCStringTableTest, ReadsWhatGettextReadsAndRefusesTheRest) {
  LCStringTable table;
  ASSERT_TRUE(table.LoadFromText(
      "# header\nmsgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
      "msgctxt \"joined\"\nmsgid \"a\"\nmsgstr \"\"\n\"Zeile 1\\n\"\r\n\"\\\"zwei\\\" \\\\ drei\"\n\n"
      "#, fuzzy\nmsgctxt \"fuzzy\"\nmsgid \"b\"\nmsgstr \"ungeprüft\"\n\n"
      "msgctxt \"untranslated\"\nmsgid \"c\"\nmsgstr \"\"\n"
      "msgctxt \"close\"\nmsgid \"d\"\nmsgstr \"D\"\nmsgid \"no key\"\nmsgstr \"E\"\n"));
  ASSERT_NE(nullptr, table.Find("joined"));
  EXPECT_EQ("Zeile 1\n\"zwei\" \\ drei", table.Find("joined")->GetUTF8String());
  EXPECT_EQ(nullptr, table.Find("fuzzy"));  // gettext does not use a fuzzy entry either
  EXPECT_EQ(nullptr, table.Find("untranslated"));
  ASSERT_NE(nullptr, table.FindSource("untranslated"));
  EXPECT_EQ("c", table.FindSource("untranslated")->GetUTF8String());
  ASSERT_NE(nullptr, table.Find("close"));  // the next entry needs no blank line before it
  EXPECT_EQ("D", table.Find("close")->GetUTF8String());
  for (const char* broken :
       {"msgctxt \"k\"\nmsgid \"a\"\nmsgstr \"no closing quote\n", "msgctxt \"k\"\nmsgid \"a\"\nmsgstr \"\\q\"\n",
        "msgctxt \"k\"\nmsgid \"a\"\nmsgid_plural \"as\"\nmsgstr[0] \"x\"\n",
        "msgctxt \"k\"\nmsgid \"a\"\nmsgstr \"Latin-1 \xe9\"\n",
        "msgctxt \"k\"\nmsgid \"a\"\nmsgstr \"x\"\nmsgstr \"y\"\n"}) {
    EXPECT_FALSE(table.LoadFromText(broken)) << broken;
    EXPECT_EQ(0u, table.Size());
  }
  EXPECT_FALSE(table.LoadFromFile(KWPath("/nonexistent/strings.po")));
  // A locale whose texts cannot be read is not used at all, its pictures
  // included: English everywhere rather than German pictures with English boxes.
  LCInstallerText::Load(KWPath("/nonexistent"), "de");
  EXPECT_EQ("en", LCInstallerText::GetLocale());
  LCInstallerText::Reset();
}

TEST(LCLocaleTest, ChoosesAsGettextReadsTheEnvironmentAndFallsBackToEnglish) {
  struct Case {
    std::map<std::string, std::string> environment;
    const char* locale;
  };
  const std::vector<Case> cases = {
      {{}, "en"},
      {{{"LANG", "de_DE.UTF-8"}}, "de"},
      {{{"LANG", "fr_CA.UTF-8@euro"}}, "fr"},
      {{{"LANG", "pt_BR.UTF-8"}}, "en"},
      {{{"LANG", "ja_JP.UTF-8"}, {"LC_MESSAGES", "de_AT"}}, "de"},
      {{{"LC_ALL", "fr_FR"}, {"LC_MESSAGES", "de_DE"}, {"LANG", "ja_JP"}}, "fr"},
      {{{"LC_ALL", ""}, {"LANG", "ja_JP.eucJP"}}, "ja"},
      {{{"LANGUAGE", "pt_BR::ja:de"}, {"LANG", "de_DE.UTF-8"}}, "ja"},
      {{{"LANGUAGE", "ja"}, {"LANG", "C.UTF-8"}}, "en"},  // a C locale ignores LANGUAGE
      {{{"LANGUAGE", "ja"}, {"LC_ALL", "POSIX"}, {"LANG", "de_DE"}}, "en"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> preferences =
        LCLocale::PreferencesFromEnvironment([&c](const char* name) -> const char* {
          const auto found = c.environment.find(name);
          return found == c.environment.end() ? nullptr : found->second.c_str();
        });
    EXPECT_EQ(c.locale, LCLocale::Choose(preferences, LCLocale::Available())) << ::testing::PrintToString(preferences);
  }
  // macOS names its preferred languages with a hyphen.
  EXPECT_EQ("fr", LCLocale::Choose({"pt-BR", "fr-CA", "de"}, LCLocale::Available()));
  EXPECT_EQ("en", LCLocale::Choose({"zh-Hans-CN"}, LCLocale::Available()));
}

// The boxes and the controls' names speak the person's language; the log
// stays English.
TEST_F(UICoreTest, BoxesAndControlNamesSpeakTheLocaleAndTheLogStaysEnglish) {
  LCInstallerText::Load(KWPath(CLIPVANE_ASSET_DIR), "de");
  // A screen reader names the drawn controls in the same language; the
  // window's light says what it does now.
  EXPECT_EQ("Schließen", m_core->GetControls().back().m_label);
  m_core->OnInstallBegin();
  AnswerAll(kLCInstallerMBResultCancel);
  LogCapture log;
  m_core->OnError(9000);
  m_core->OnAppClose();
  const std::vector<LCHeadlessMessageBox> boxes = LCInstallerUIHeadless::GetMessageBoxes();
  ASSERT_EQ(2u, boxes.size());
  EXPECT_EQ(std::string("Es konnte keine Verbindung zum Netzwerk hergestellt werden. Bitte überprüfen Sie Ihre "
                        "Internetverbindung und klicken Sie auf „Wiederholen“.\n\nWenn Sie weitere Hilfe benötigen, "
                        "wenden Sie sich bitte unter Angabe des Fehlercodes 9000 an ") +
                kCLVSupportEmail + ".",
            boxes[0].m_message.GetUTF8String());
  EXPECT_EQ("Möchten Sie die Installation wirklich abbrechen?", boxes[1].m_message.GetUTF8String());
  EXPECT_EQ("Minimieren", m_core->GetControls().back().m_label);
  ASSERT_FALSE(log.Lines().empty());
  EXPECT_EQ("Unable to connect to the network. Please verify your internet connection settings and click retry.",
            log.Lines()[0]);
}

}  // namespace
