#pragma once
// A directory of the fuzz target's own for the files each input becomes:
// under $TMPDIR when set (the run script points it at a directory it removes
// afterwards), else in memory-backed /dev/shm, else /tmp. Created once;
// emptied and removed when the process exits normally.

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace clipvane::fuzz {

inline std::string& PrivateDirectoryPath() {
  static std::string path;
  return path;
}

inline std::vector<std::string> PrivateDirectoryEntries() {
  std::vector<std::string> names;
  DIR* dir = opendir(PrivateDirectoryPath().c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

inline void EmptyPrivateDirectory() {
  for (const std::string& name : PrivateDirectoryEntries()) {
    std::remove((PrivateDirectoryPath() + "/" + name).c_str());
  }
}

// Creates the directory; `prefix` names it after the target. Aborts on failure.
inline void CreatePrivateDirectory(const char* prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/dev/shm";
  if (access(base.c_str(), W_OK) != 0) base = "/tmp";
  std::string pattern = base + "/" + prefix + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  PrivateDirectoryPath() = pattern;
  std::atexit([] {
    EmptyPrivateDirectory();
    rmdir(PrivateDirectoryPath().c_str());
  });
}

}  // namespace clipvane::fuzz
