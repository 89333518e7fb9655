// Removing a folder tree without ever following a symbolic link out of it.
#pragma once

#include <string>

class HdiTree {
 public:
  // Deletes path and everything below it. Links are removed, never followed;
  // folders without write permission are opened up first. False with a reason
  // when something stays behind.
  static bool Remove(const std::string& path, std::string& error);
};
