// LCStringTable: one locale's texts, read from a gettext catalogue (.po) in
// which every entry's msgctxt is its stable key:
//
//   msgctxt "quit.question"
//   msgid "Are you sure you want to cancel the installation?"
//   msgstr "Möchten Sie die Installation wirklich abbrechen?"
//
//   LCStringTable table;
//   table.LoadFromFile(folder.AppendNew("de").Append("strings.po", KWPath::kKWPathKindFile));
//   const KWString* text = table.Find("quit.question");  // null when the entry is missing
//
// Written here rather than taken from libintl, which macOS does not ship:
// only the subset our catalogues use is read (msgctxt, msgid, msgstr,
// continued strings, the C escapes msgfmt accepts, the fuzzy flag). An entry
// without a translation (empty msgstr) or marked fuzzy is left out, as
// gettext leaves it out, so that the caller's own text is used.
#pragma once

#include <map>
#include <string>

#include "KWPath.h"
#include "KWString.h"

class LCStringTable {
 public:
  // False (and the table left empty) when the file cannot be read or is not
  // a catalogue this reader understands.
  bool LoadFromFile(const KWPath& path);
  bool LoadFromText(const std::string& text);
  // The translation of the key; null when it has none.
  const KWString* Find(const std::string& key) const;
  // The text the entry translates (its msgid), translated or not; null when
  // the catalogue has no such entry.
  const KWString* FindSource(const std::string& key) const;
  size_t Size() const { return m_entries.size(); }

 private:
  std::map<std::string, KWString> m_entries;
  std::map<std::string, KWString> m_sources;
};
