#pragma once
// Runs the clipvane executable as a user would, with standard input taken from
// a file (keys to press) and standard output captured. On Windows the tool is
// started with CreateProcess and its output read through a pipe; a cross
// build for another processor starts it through the emulator the tests run in
// (CLIPVANE_TOOL_LAUNCHER, the command words separated by spaces).

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"

namespace clipvane::testing {

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  std::string output;
};

// The command that starts the tool: the emulator's words (if any), then the tool.
inline std::vector<std::string> ToolCommand() {
  std::vector<std::string> command;
#if defined(CLIPVANE_TOOL_LAUNCHER)
  std::istringstream words(CLIPVANE_TOOL_LAUNCHER);
  for (std::string word; words >> word;) command.push_back(word);
#endif
  command.push_back(platform::Utf8FromPath(std::filesystem::absolute(platform::PathFromUtf8(CLIPVANE_TOOL_PATH))));
  return command;
}

#if defined(_WIN32)

// Signals do not exist on Windows; the tests that send them do not run there.
constexpr bool kCanSignal = false;
// Keys are read only from a console, which a test's redirected input is not.
constexpr bool kKeysFromFile = false;

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

class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::string& stdinPath, const std::string& dir) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&out_, &writeEnd, &inherit, 0)) return;
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    const std::wstring inputName =
        stdinPath.empty() ? std::wstring(L"NUL") : platform::PathFromUtf8(stdinPath).wstring();
    HANDLE input = CreateFileW(inputName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::wstring commandLine;
    for (const std::string& word : ToolCommand()) {
      commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(platform::PathFromUtf8(word).wstring());
    }
    for (const std::string& a : args) commandLine += L" " + QuoteArgument(platform::PathFromUtf8(a).wstring());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    const std::wstring folder = dir.empty() ? std::wstring() : platform::PathFromUtf8(dir).wstring();
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
    }
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  }
  ~ToolProcess() {
    if (process_ != nullptr && !waited_) Wait();
    if (out_ != nullptr) CloseHandle(out_);
    if (process_ != nullptr) CloseHandle(process_);
  }

  bool ReadUntil(const std::string& text) {
    while (output_.find(text) == std::string::npos) {
      if (!ReadSome()) return false;
    }
    return true;
  }
  void CloseOutput() {
    CloseHandle(out_);
    out_ = nullptr;
  }
  ToolResult Wait() {
    while (ReadSome()) {
    }
    ToolResult r;
    if (process_ != nullptr) {
      WaitForSingleObject(process_, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(process_, &code);
      r.status = int(code);
    }
    waited_ = true;
    // The console's text mode writes a line end as CR LF; the tests compare
    // with the C library's "\n".
    for (std::size_t i = 0; i < output_.size(); ++i) {
      if (output_[i] == '\r' && i + 1 < output_.size() && output_[i + 1] == '\n') continue;
      r.output.push_back(output_[i]);
    }
    return r;
  }

 private:
  bool ReadSome() {
    if (out_ == nullptr) return false;
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(out_, buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
    output_.append(buffer, got);
    return true;
  }
  HANDLE process_ = nullptr;
  HANDLE out_ = nullptr;
  bool waited_ = false;
  std::string output_;
};

inline unsigned long ProcessId() { return GetCurrentProcessId(); }

#else

constexpr bool kCanSignal = true;
constexpr bool kKeysFromFile = true;

class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::string& stdinPath, const std::string& dir) {
    // Built before the fork: the child only execs.
    std::vector<std::string> words = ToolCommand();
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : words) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
      int in = open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
      if (in >= 0) dup2(in, 0);
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~ToolProcess() {
    if (out_ >= 0) close(out_);
    if (pid_ > 0 && !waited_) Wait();
  }

  // Reads output until `text` appears (or the output ends). True when it appeared.
  bool ReadUntil(const std::string& text) {
    while (output_.find(text) == std::string::npos) {
      if (!ReadSome()) return false;
    }
    return true;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // Stops reading: the tool's next progress line finds nobody listening.
  void CloseOutput() {
    close(out_);
    out_ = -1;
  }
  ToolResult Wait() {
    while (ReadSome()) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    waited_ = true;
    ToolResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.output = output_;
    return r;
  }

 private:
  bool ReadSome() {
    if (out_ < 0) return false;
    char buffer[4096];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, std::size_t(n));
    return true;
  }
  pid_t pid_ = -1;
  int out_ = -1;
  bool waited_ = false;
  std::string output_;
};

inline unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

#endif

inline ToolResult RunTool(const std::vector<std::string>& args, const std::string& stdinPath = "",
                          const std::string& dir = "") {
  ToolProcess process(args, stdinPath, dir);
  return process.Wait();
}

// Removes a folder and everything in it.
inline void RemoveTree(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

// A scratch folder removed at the end of the test. Names are UTF-8.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name) {
    path_ = std::filesystem::temp_directory_path() / ("clipvane_" + name + "_" + std::to_string(ProcessId()));
    RemoveTree(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { RemoveTree(path_); }
  std::string File(const std::string& name) const { return platform::Utf8FromPath(path_ / platform::PathFromUtf8(name)); }
  std::string Copy(const std::string& dataFile, const std::string& as) const {
    std::filesystem::copy_file(std::string(CLIPVANE_TEST_DATA_DIR) + "/" + dataFile, path_ / platform::PathFromUtf8(as),
                               std::filesystem::copy_options::overwrite_existing);
    return File(as);
  }
  std::string Keys(const std::string& keys) const {
    std::string path = File("keys.txt");
    std::FILE* f = platform::OpenFile(path, "wb");
    std::fwrite(keys.data(), 1, keys.size(), f);
    std::fclose(f);
    return path;
  }

 private:
  std::filesystem::path path_;
};

// Gives `to` the last-write time of `from`, to the finest unit the system
// keeps (std::filesystem keeps only whole seconds with MinGW).
inline void CopyWriteTime(const std::string& from, const std::string& to) {
#if defined(_WIN32)
  FILETIME time{};
  HANDLE source = CreateFileW(platform::PathFromUtf8(from).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  GetFileTime(source, nullptr, nullptr, &time);
  CloseHandle(source);
  HANDLE target = CreateFileW(platform::PathFromUtf8(to).wstring().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  SetFileTime(target, nullptr, nullptr, &time);
  CloseHandle(target);
#else
  std::filesystem::last_write_time(platform::PathFromUtf8(to),
                                   std::filesystem::last_write_time(platform::PathFromUtf8(from)));
#endif
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(platform::PathFromUtf8(path)); }
inline uint64_t SizeOf(const std::string& path) { return std::filesystem::file_size(platform::PathFromUtf8(path)); }

}  // namespace clipvane::testing
