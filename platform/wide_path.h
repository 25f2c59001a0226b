#pragma once
// Windows only, inside the platform library: UTF-8 paths to the wide
// strings the system's file API takes.

#if defined(_WIN32)

#include <string>

namespace clipvane::platform {

std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
// The wide form of a UTF-8 path as the file API should receive it: a path
// near or past MAX_PATH is made absolute and given the \\?\ prefix (or the
// \\?\UNC prefix for a share), which lifts the length limit; shorter ones
// pass unchanged.
std::wstring SystemPath(const std::string& path);

}  // namespace clipvane::platform

#endif
