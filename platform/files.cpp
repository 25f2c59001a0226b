#include "platform/files.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "platform/wide_path.h"
#endif

namespace clipvane::platform {

std::filesystem::path PathFromUtf8(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

#if defined(_WIN32)

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(std::size_t(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
  return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(std::size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), narrow.data(), length, nullptr, nullptr);
  return narrow;
}

std::wstring SystemPath(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  // 248 rather than 260: a folder's name must leave room for an 8.3 file name.
  constexpr std::size_t kShortEnough = 248;
  if (wide.size() < kShortEnough || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return _wfopen(SystemPath(path).c_str(), WideFromUtf8(mode).c_str());
}

bool RemoveFile(const std::string& path) { return DeleteFileW(SystemPath(path).c_str()) != 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

namespace {

UINT g_savedOutputCodePage = 0;

extern "C" void restoreOutputCodePage() {
  if (g_savedOutputCodePage != 0) SetConsoleOutputCP(g_savedOutputCodePage);
}

}  // namespace

void UseUtf8Console() {
  const UINT current = GetConsoleOutputCP();
  if (current == 0 || current == CP_UTF8 || g_savedOutputCodePage != 0) return;  // no console, or already
  if (!SetConsoleOutputCP(CP_UTF8)) return;
  g_savedOutputCodePage = current;
  std::atexit(restoreOutputCodePage);
}

#else

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool RemoveFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

// rename replaces an existing `to` on POSIX systems.
bool RenameFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void UseUtf8Console() {}

#endif

}  // namespace clipvane::platform
