// LCInstallerText: every text a person reads in the installer's boxes, menus
// and notifications, in the chosen locale. The English texts are compiled in
// and are what any key falls back to, so a missing or broken catalogue never
// leaves a box empty. Log lines and analytics stay English and do not come
// from here.
//
//   LCInstallerText::Load(assetFolder, "de");           // once, at start-up
//   KWString question = LCInstallerText::Get("quit.question");
//   KWString help = LCInstallerText::Format("error.suffix", {{"email", kCLVSupportEmail}, {"code", "9000"}});
//
// The catalogue of a locale is "<asset folder>/<locale>/strings.po"
// (LCStringTable); the pictures of that locale sit beside it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "KWPath.h"
#include "KWString.h"

class LCInstallerText {
 public:
  typedef std::vector<std::pair<std::string, KWString>> Values;

  // Replaces the texts in use by the locale's catalogue; English, or a
  // catalogue that cannot be read (which is logged), leaves the compiled-in
  // texts and makes the locale English. Call before any other thread reads a
  // text.
  static void Load(const KWPath& assetFolder, const std::string& locale);
  // Back to the compiled-in English texts.
  static void Reset();
  static std::string GetLocale();

  // The text of the key in the locale loaded; English where the catalogue
  // has no translation; the key itself for a key nobody knows.
  static KWString Get(const std::string& key);
  // The compiled-in English text of the key, whatever the locale: for the log.
  static KWString English(const std::string& key);
  // Get with every "{name}" replaced by its value; unknown names stay as written.
  static KWString Format(const std::string& key, const Values& values) { return Fill(Get(key), values); }
  static KWString Fill(const KWString& text, const Values& values);

  // The compiled-in English texts, in a fixed order (tests and tools).
  static const std::vector<std::pair<std::string, std::string>>& EnglishTexts();
};
