#include "LCLocale.h"

#include <algorithm>
#include <cctype>

const std::vector<std::string>& LCLocale::Available() {
  static const std::vector<std::string> locales = {"en", "de", "fr", "ja"};
  return locales;
}

std::string LCLocale::LanguageOf(const std::string& name) {
  const size_t end = name.find_first_of("_-.@");
  std::string language = name.substr(0, end);
  std::transform(language.begin(), language.end(), language.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (language == "c" || language == "posix") return std::string();
  return language;
}

std::vector<std::string> LCLocale::PreferencesFromEnvironment(const std::function<const char*(const char*)>& getenv) {
  std::string messages;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (value && *value) {
      messages = value;
      break;
    }
  }
  std::vector<std::string> preferences;
  if (LanguageOf(messages).empty()) return preferences;
  const char* list = getenv("LANGUAGE");
  std::string languages = list ? list : "";
  size_t start = 0;
  while (start <= languages.size()) {
    const size_t colon = std::min(languages.find(':', start), languages.size());
    if (colon > start) preferences.push_back(languages.substr(start, colon - start));
    start = colon + 1;
  }
  preferences.push_back(messages);
  return preferences;
}

std::string LCLocale::Choose(const std::vector<std::string>& preferences, const std::vector<std::string>& available) {
  for (const std::string& preference : preferences) {
    const std::string language = LanguageOf(preference);
    if (!language.empty() && std::find(available.begin(), available.end(), language) != available.end()) {
      return language;
    }
  }
  return "en";
}
