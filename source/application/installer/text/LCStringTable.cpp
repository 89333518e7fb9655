#include "LCStringTable.h"

#include <fstream>
#include <sstream>

namespace {

// The text of one quoted string; false for anything else (a catalogue that
// msgfmt would reject is not used at all).
bool Unquote(const std::string& line, size_t start, std::string& out) {
  size_t i = line.find_first_not_of(" \t", start);
  if (i == std::string::npos || line[i] != '"') return false;
  for (++i; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') return line.find_first_not_of(" \t\r", i + 1) == std::string::npos;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == line.size()) return false;
    switch (line[i]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '"':
      case '\\':
        out += line[i];
        break;
      default:
        return false;
    }
  }
  return false;  // no closing quote
}

struct Entry {
  std::string context;
  std::string id;
  std::string text;
  bool hasContext = false;
  bool hasId = false;
  bool hasText = false;
  bool fuzzy = false;
  bool any = false;
};

}  // namespace

bool LCStringTable::LoadFromFile(const KWPath& path) {
  m_entries.clear();
  m_sources.clear();
  std::ifstream in(path.GetPathAsKWString().c_str(), std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  return LoadFromText(text.str());
}

bool LCStringTable::LoadFromText(const std::string& text) {
  m_entries.clear();
  m_sources.clear();
  // A catalogue saved in another encoding would give the boxes texts the
  // window layer cannot show.
  if (!KWString(text).IsValidUTF8()) return false;
  std::map<std::string, KWString> entries;
  std::map<std::string, KWString> sources;
  Entry entry;
  std::string* field = nullptr;
  bool pendingFuzzy = false;
  auto finish = [&]() {
    if (entry.any && entry.hasContext) {
      sources[entry.context] = entry.id;
      if (!entry.fuzzy && !entry.text.empty()) entries[entry.context] = entry.text;
    }
    entry = Entry();
    field = nullptr;
  };
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) {
      finish();
      continue;
    }
    if (line[0] == '#') {
      // A comment opens the next entry; its flags belong to that entry.
      if (entry.any) finish();
      if (line.compare(0, 2, "#,") == 0 && line.find("fuzzy") != std::string::npos) pendingFuzzy = true;
      continue;
    }
    // Entries need no blank line between them: a msgctxt, or a msgid after
    // the msgid, begins the next one. A msgstr twice over is no catalogue.
    size_t start = 0;
    if (line.compare(0, 8, "msgctxt ") == 0) {
      if (entry.any) finish();
      entry.hasContext = true;
      field = &entry.context;
      start = 8;
    } else if (line.compare(0, 6, "msgid ") == 0) {
      if (entry.hasId || (entry.any && !entry.hasContext)) finish();
      entry.hasId = true;
      field = &entry.id;
      start = 6;
    } else if (line.compare(0, 7, "msgstr ") == 0) {
      if (entry.hasText || !entry.hasId) return false;
      entry.hasText = true;
      field = &entry.text;
      start = 7;
    } else if (line[0] != '"' || !field) {
      return false;  // plural forms and the like: not in our catalogues
    }
    if (!entry.any) {
      entry.fuzzy = pendingFuzzy;
      pendingFuzzy = false;
    }
    entry.any = true;
    if (!Unquote(line, start, *field)) return false;
  }
  finish();
  m_entries.swap(entries);
  m_sources.swap(sources);
  return true;
}

const KWString* LCStringTable::Find(const std::string& key) const {
  const auto found = m_entries.find(key);
  return found == m_entries.end() ? nullptr : &found->second;
}

const KWString* LCStringTable::FindSource(const std::string& key) const {
  const auto found = m_sources.find(key);
  return found == m_sources.end() ? nullptr : &found->second;
}
