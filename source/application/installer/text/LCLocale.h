// LCLocale: which of the installer's locales to speak, from the person's
// language preferences.
//
//   const std::string locale = LCLocale::Choose(LCLocale::SystemPreferences(), LCLocale::Available());
//   // "de" for LANG=de_AT.UTF-8, "en" when nothing matches
#pragma once

#include <functional>
#include <string>
#include <vector>

class LCLocale {
 public:
  // The locales the installer has texts and pictures for; "en" first.
  static const std::vector<std::string>& Available();

  // The person's preferred languages, most wanted first, as the system names
  // them ("de_DE.UTF-8", "fr-CA", "ja"). macOS: the preferred languages;
  // elsewhere the environment (PreferencesFromEnvironment).
  static std::vector<std::string> SystemPreferences();

  // The environment's preferences as gettext reads them: the messages
  // locale is the first set of LC_ALL, LC_MESSAGES and LANG; LANGUAGE's
  // colon-separated list comes before it, but only when that locale is not
  // C or POSIX (nothing, then: English).
  static std::vector<std::string> PreferencesFromEnvironment(const std::function<const char*(const char*)>& getenv);

  // The first preference whose language is available; "en" when none is.
  static std::string Choose(const std::vector<std::string>& preferences, const std::vector<std::string>& available);

  // The language of a locale name: "de_DE.UTF-8@euro" and "de-AT" give "de";
  // "C", "POSIX" and "C.UTF-8" give the empty string.
  static std::string LanguageOf(const std::string& name);
};
