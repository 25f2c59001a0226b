#pragma once
// Runs a built program with standard input from the null device and its
// standard output and error captured, as a user's shell would. A cross build
// for another processor starts it through the emulator the tests run in
// (CLIPVANE_TOOL_LAUNCHER, the command words separated by spaces); on
// Windows it is started with CreateProcess.

#if defined(_WIN32)
#include <process.h>  // getpid
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/command_words.h"

namespace clipvane::testing {

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

#if defined(_WIN32)

inline ProgramResult RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& workDir) {
  const std::filesystem::path outPath = workDir / "stdout.txt";
  const std::filesystem::path errPath = workDir / "stderr.txt";
  ProgramResult result;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  std::wstring commandLine;
  for (const std::string& word : LaunchedCommand(argv)) {
    commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(std::filesystem::path(word).wstring());
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  const bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                       CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      workDir.c_str(), &startup, &info);
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  if (!started) return result;
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  result.status = int(code);
  result.out = WithoutCarriageReturns(ReadText(outPath));
  result.err = WithoutCarriageReturns(ReadText(errPath));
  return result;
}

#else

inline ProgramResult RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& workDir) {
  const std::filesystem::path outPath = workDir / "stdout.txt";
  const std::filesystem::path errPath = workDir / "stderr.txt";
  ProgramResult result;
  // Built before the fork: the child only opens, changes folder and execs.
  std::vector<std::string> copy = LaunchedCommand(argv);
  std::vector<char*> args;
  for (std::string& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(workDir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The emulator, when there is one, is found on the PATH.
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadText(outPath);
  result.err = ReadText(errPath);
  return result;
}

#endif

}  // namespace clipvane::testing
