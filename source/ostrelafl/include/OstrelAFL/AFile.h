// ostrel::afl::AFile: the path framework's file object, used to make folders.
#pragma once

#include <string>

namespace ostrel {
namespace afl {

class AFile {
 public:
  explicit AFile(const std::string& path) : m_path(path) {}

  const std::string& GetPath() const { return m_path; }
  // The folder that holds this file; an empty AFile for a bare name.
  AFile GetParentPath() const;
  // Creates the folder and every missing parent; an existing folder is left
  // alone. True when the folder exists afterwards.
  bool MakeDirectory() const;

 private:
  std::string m_path;
};

}  // namespace afl
}  // namespace ostrel
