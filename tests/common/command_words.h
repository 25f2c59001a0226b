#pragma once
// The words that start a program of this build, shared by the tests' process
// runners. A cross build for another processor starts its programs through the
// emulator the tests run in (CLIPVANE_TOOL_LAUNCHER, the command words
// separated by spaces); on Windows a command line is one string that the C
// runtime splits again, and its programs' output ends lines with CR LF.

#include <sstream>
#include <string>
#include <vector>

namespace clipvane::testing {

// The emulator's command words that start a program of this build, each
// followed by a space; empty when the build's programs run by themselves.
inline std::string LauncherPrefix() {
#if defined(CLIPVANE_TOOL_LAUNCHER)
  return std::string(CLIPVANE_TOOL_LAUNCHER) + " ";
#else
  return std::string();
#endif
}

// The emulator's words (if any, and not for a program of the host), then `argv`.
inline std::vector<std::string> LaunchedCommand(const std::vector<std::string>& argv, bool host = false) {
  std::vector<std::string> command;
  std::istringstream words(host ? std::string() : LauncherPrefix());
  for (std::string word; words >> word;) command.push_back(word);
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

#if defined(_WIN32)
// The C runtime's text mode writes a line end as CR LF; the tests compare
// with "\n".
inline std::string WithoutCarriageReturns(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain.push_back(text[i]);
  }
  return plain;
}

// Quotes one argument the way the C runtime splits a command line.
inline std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}
#endif

}  // namespace clipvane::testing
