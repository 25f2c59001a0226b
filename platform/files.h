#pragma once
// Files named by the user. Paths are UTF-8 everywhere in the program; on
// Windows they reach the system through its wide-character API, so names in
// any script work, and long paths (260 characters and more) are passed in
// the form that lifts the old length limit.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace clipvane::platform {

// std::fopen on a UTF-8 path; `mode` as for std::fopen ("rb", "wb", "ab").
std::FILE* OpenFile(const std::string& path, const char* mode);
// Deletes a file. True when it was deleted.
bool RemoveFile(const std::string& path);
// Renames `from` to `to`, replacing a file already called `to`. True on success.
bool RenameFile(const std::string& from, const std::string& to);

// A std::filesystem path for a UTF-8 path, and back. (A narrow std::string
// would be read in the Windows code page instead.)
std::filesystem::path PathFromUtf8(const std::string& path);
std::string Utf8FromPath(const std::filesystem::path& path);

// The command line's arguments after the program name, as UTF-8. On Windows
// they are taken from the wide command line, since `argv` holds them in the
// code page, where characters outside it are lost; elsewhere they are argv.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Makes the console show the UTF-8 text the program prints (Windows: the
// console's output code page, restored at exit). Nothing elsewhere.
void UseUtf8Console();

}  // namespace clipvane::platform
