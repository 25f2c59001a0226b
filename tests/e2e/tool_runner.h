#pragma once
// Runs the clipvane executable as a user would and captures its standard
// output. Standard input is /dev/null, a pipe or a file holding given bytes,
// or a terminal: a pseudo-terminal that a small job-control shell (a child
// process) makes its controlling terminal, with the tool as the foreground
// job, so that typed keys, Ctrl-C and Ctrl-Z reach it exactly as they reach
// a person's run. On Windows the tool is started with CreateProcess and its
// output read through a pipe (no terminal there: keys come only from a
// console). A cross build for another processor starts the tool through the
// emulator the tests run in (CLIPVANE_TOOL_LAUNCHER, the command words
// separated by spaces).

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "tests/common/command_words.h"

namespace clipvane::testing {

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  int signal = 0;   // the signal that ended the tool; 0 when it exited
  std::string output;
};

enum class Input {
  kNull,      // /dev/null
  kPipe,      // a pipe holding `text`, closed behind it
  kFile,      // a file holding `text`
  kTerminal,  // a terminal on which `text` was typed before the start
};

struct ToolLaunch {
  ToolLaunch() = default;
  explicit ToolLaunch(std::vector<std::string> arguments, Input in = Input::kNull, std::string typedOrFed = "")
      : args(std::move(arguments)), input(in), text(std::move(typedOrFed)) {}

  std::vector<std::string> args;
  Input input = Input::kNull;
  std::string text;
  std::string dir;                    // working directory; empty: the test's
  std::vector<int> closedDescriptors;  // standard descriptors closed at the start
  std::string program = CLIPVANE_TOOL_PATH;
  // A program of the machine the tests run on (a shell), started directly
  // even in a cross build whose own programs go through the emulator.
  bool hostProgram = false;
};

// The command that starts `program`: the emulator's words (if any, and not
// for a program of the host), then the program.
inline std::vector<std::string> ToolCommand(const std::string& program = CLIPVANE_TOOL_PATH, bool host = false) {
  return LaunchedCommand({program}, host);
}

#if defined(_WIN32)

// Standard input is the NUL device, a pipe or a file; a terminal does not
// exist here (the terminal tests are not built for Windows) and descriptors
// cannot be closed for the child, so such a launch starts nothing.
class ToolProcess {
 public:
  explicit ToolProcess(const ToolLaunch& launch) {
    if (launch.input == Input::kTerminal || !launch.closedDescriptors.empty()) return;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&out_, &writeEnd, &inherit, 0)) return;
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = INVALID_HANDLE_VALUE;
    if (launch.input == Input::kPipe) {
      HANDLE feed = nullptr;
      if (!CreatePipe(&input, &feed, &inherit, 0)) return;
      SetHandleInformation(feed, HANDLE_FLAG_INHERIT, 0);
      DWORD written = 0;
      // Small enough for the pipe's buffer; the test keeps the read end to see what is left.
      WriteFile(feed, launch.text.data(), DWORD(launch.text.size()), &written, nullptr);
      CloseHandle(feed);
      DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &inputKept_, 0, FALSE, DUPLICATE_SAME_ACCESS);
    } else if (launch.input == Input::kFile) {
      wchar_t folder[MAX_PATH + 1];
      wchar_t name[MAX_PATH + 1];
      if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"cvk", 0, name) == 0) return;
      input = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (input == INVALID_HANDLE_VALUE) return;
      DWORD written = 0;
      WriteFile(input, launch.text.data(), DWORD(launch.text.size()), &written, nullptr);
      // The position is shared with the tool: what it reads moves it.
      SetFilePointer(input, 0, nullptr, FILE_BEGIN);
      DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &inputKept_, 0, FALSE, DUPLICATE_SAME_ACCESS);
    } else {
      input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    std::wstring commandLine;
    std::vector<std::string> words = ToolCommand(
        platform::Utf8FromPath(std::filesystem::absolute(platform::PathFromUtf8(launch.program))));
    words.insert(words.end(), launch.args.begin(), launch.args.end());
    for (const std::string& word : words) {
      commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(platform::PathFromUtf8(word).wstring());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    const std::wstring folder = launch.dir.empty() ? std::wstring() : platform::PathFromUtf8(launch.dir).wstring();
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
    }
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  }
  explicit ToolProcess(const std::vector<std::string>& args) : ToolProcess(ToolLaunch(args)) {}
  ~ToolProcess() {
    if (process_ != nullptr && !waited_) Wait();
    for (HANDLE h : {out_, process_, inputKept_}) {
      if (h != nullptr) CloseHandle(h);
    }
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Reads output until `text` appears (or the output ends). True when it appeared.
  bool ReadUntil(const std::string& text) {
    return PumpUntil([&] { return output_.find(text) != std::string::npos; });
  }
  template <typename Condition>
  bool PumpUntil(Condition done) {
    while (!done()) {
      if (!ReadSome()) return false;
    }
    return true;
  }
  // Stops reading: the tool's next progress line finds nobody listening.
  void CloseOutput() {
    CloseHandle(out_);
    out_ = nullptr;
  }
  // The bytes of a piped or file input that the tool left for whoever reads next.
  std::string InputLeft() {
    std::string left;
    char buffer[256];
    DWORD got = 0;
    while (inputKept_ != nullptr && ReadFile(inputKept_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      left.append(buffer, got);
    }
    return left;
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
    r.output = WithoutCarriageReturns(output_);
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
  HANDLE inputKept_ = nullptr;
  bool waited_ = false;
  std::string output_;
};

inline unsigned long ProcessId() { return GetCurrentProcessId(); }

#else

// What the job-control shell tells the test.
enum ShellReport : char {
  kReportStarted = 'P',  // then the tool's process id (pid_t)
  kReportStopped = 'S',  // then 1 when the terminal was in cooked mode at the stop, else 0
  kReportResumed = 'C',
  kReportEnded = 'E',  // then the tool's wait status (int)
};

class ToolProcess {
 public:
  explicit ToolProcess(const ToolLaunch& launch) : input_(launch.input) {
    int output[2];
    if (pipe(output) != 0) return;
    out_ = output[0];
    int in = -1;
    if (launch.input == Input::kPipe) {
      int fds[2];
      if (pipe(fds) != 0) return;
      // Small enough for the pipe's buffer; the test keeps the read end to see what is left.
      if (write(fds[1], launch.text.data(), launch.text.size()) != ssize_t(launch.text.size())) return;
      close(fds[1]);
      in = fds[0];
    } else if (launch.input == Input::kFile) {
      char path[] = "/tmp/clipvane_stdin_XXXXXX";
      in = mkstemp(path);
      if (in < 0) return;
      unlink(path);
      if (write(in, launch.text.data(), launch.text.size()) != ssize_t(launch.text.size())) return;
      lseek(in, 0, SEEK_SET);  // the offset is shared with the tool: what it reads moves it
    } else if (launch.input == Input::kTerminal) {
      if (!OpenTerminal(launch.text)) return;
    } else {
      in = open("/dev/null", O_RDONLY);
    }
    inputKept_ = in;

    std::fflush(nullptr);
    child_ = fork();
    if (child_ == 0) {
      close(out_);
      if (launch.input == Input::kTerminal) RunShell(launch, output[1]);
      StartTool(launch, in, output[1]);
    }
    close(output[1]);
    if (reportWrite_ >= 0) {
      close(reportWrite_);  // only the shell writes reports and reads commands
      close(commandRead_);
      reportWrite_ = -1;
      commandRead_ = -1;
    }
  }
  explicit ToolProcess(const std::vector<std::string>& args) : ToolProcess(ToolLaunch(args)) {}
  ~ToolProcess() {
    if (child_ > 0 && !waited_) {
      // A test that gave up half-way: end the run (and the shell that may be holding it stopped).
      if (toolPid_ > 0) kill(toolPid_, SIGKILL);
      kill(child_, SIGKILL);
      Wait();
    }
    for (int fd : {out_, report_, master_, slave_, inputKept_, command_}) {
      if (fd >= 0) close(fd);
    }
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Reads output until `text` appears (or the output ends). True when it appeared.
  bool ReadUntil(const std::string& text) {
    return PumpUntil([&] { return output_.find(text) != std::string::npos; });
  }
  // Reads output until `done()` holds (or the output ends). True when it held.
  template <typename Condition>
  bool PumpUntil(Condition done) {
    while (!done()) {
      if (!Pump()) return false;
    }
    return true;
  }
  // Terminal runs: waits until the tool has stopped (Ctrl-Z, SIGSTOP). True when it has.
  bool AwaitStop() {
    return PumpUntil([&] { return cookedAtStop_ >= 0; });
  }
  // Terminal runs: `fg`, then waits until the shell has brought the tool back
  // (or the tool has ended at once, as it may with signals waiting for it).
  bool Foreground() {
    if (command_ < 0 || write(command_, "f", 1) != 1) return false;
    PumpUntil([&] { return resumed_; });
    return true;
  }
  // Types on the terminal: keys, or Ctrl-C ("\x03") and Ctrl-Z ("\x1a").
  bool Type(const std::string& keys) {
    return master_ >= 0 && write(master_, keys.data(), keys.size()) == ssize_t(keys.size());
  }
  // Sends `sig` to the tool itself (for a terminal run, once the shell reported its start).
  void Signal(int sig) {
    if (input_ != Input::kTerminal) {
      kill(child_, sig);
      return;
    }
    while (toolPid_ <= 0) {
      if (!Pump()) return;
    }
    kill(toolPid_, sig);
  }
  // Stops reading: the tool's next progress line finds nobody listening.
  void CloseOutput() {
    close(out_);
    out_ = -1;
  }
  // Whether the terminal was in cooked mode when the tool stopped; -1 until it stops.
  int CookedAtStop() const { return cookedAtStop_; }
  // True when the terminal has its line editing and echo, as before the run.
  bool TerminalCooked() const {
    struct termios now;
    return slave_ >= 0 && tcgetattr(slave_, &now) == 0 && (now.c_lflag & ICANON) && (now.c_lflag & ECHO);
  }
  // The bytes of a piped or file input that the tool left for whoever reads next.
  std::string InputLeft() {
    std::string left;
    char buffer[256];
    ssize_t n;
    while (inputKept_ >= 0 && (n = read(inputKept_, buffer, sizeof buffer)) > 0) left.append(buffer, std::size_t(n));
    return left;
  }

  ToolResult Wait() {
    ToolResult r;
    if (child_ <= 0) return r;
    while (Pump()) {
    }
    int status = 0;
    waitpid(child_, &status, 0);
    waited_ = true;
    if (input_ == Input::kTerminal) {
      // The shell passes on how the tool ended.
      while (ReadReport()) {
      }
      status = endStatus_;
    }
    if (WIFEXITED(status)) {
      r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      r.signal = WTERMSIG(status);
      r.status = 128 + r.signal;
    }
    r.output = output_;
    return r;
  }

 private:
  bool OpenTerminal(const std::string& typed) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    slaveName_ = ptsname(master_);
    slave_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) return false;
    struct termios cooked;
    if (tcgetattr(slave_, &cooked) != 0) return false;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    if (tcsetattr(slave_, TCSANOW, &cooked) != 0) return false;
    int report[2];
    int command[2];
    if (pipe(report) != 0 || pipe(command) != 0) return false;
    report_ = report[0];
    reportWrite_ = report[1];
    commandRead_ = command[0];
    command_ = command[1];
    if (!Type(typed)) return false;
    // The echo says the terminal holds the keys: the tool finds all of them waiting.
    std::string echo;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (echo.size() < typed.size() && std::chrono::steady_clock::now() < deadline) {
      struct pollfd p {master_, POLLIN, 0};
      char buffer[256];
      if (poll(&p, 1, 100) > 0) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) echo.append(buffer, std::size_t(n));
      }
    }
    return echo.size() >= typed.size();
  }

  // In the child: becomes the tool.
  [[noreturn]] static void StartTool(const ToolLaunch& launch, int in, int out) {
    if (!launch.dir.empty() && chdir(launch.dir.c_str()) != 0) _exit(127);
    if (in >= 0) dup2(in, 0);
    dup2(out, 1);
    if (in > 2) close(in);
    if (out > 2) close(out);
    for (int fd : launch.closedDescriptors) close(fd);
    std::vector<std::string> words = ToolCommand(launch.program, launch.hostProgram);
    words.insert(words.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // The emulator, when there is one, is found on the PATH.
    execvp(argv[0], argv.data());
    _exit(127);
  }

  // In the child: a job-control shell in a session of its own, with the
  // terminal as its controlling terminal and the tool as its foreground job.
  // When the tool stops it does what an interactive shell does (takes the
  // terminal back and resets it to cooked mode), then waits for the test's
  // `fg` to bring the job back to the foreground.
  [[noreturn]] void RunShell(const ToolLaunch& launch, int out) {
    close(report_);
    close(master_);
    close(command_);
    const int reportFd = reportWrite_;
    auto report = [reportFd](char kind, const void* data, std::size_t bytes) {
      std::string message(1, kind);
      message.append(static_cast<const char*>(data), bytes);
      if (write(reportFd, message.data(), message.size()) != ssize_t(message.size())) _exit(120);
    };
    if (setsid() < 0) _exit(121);
    const int terminal = open(slaveName_.c_str(), O_RDWR);
    if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(122);
    struct termios cooked;
    tcgetattr(terminal, &cooked);
    signal(SIGTTOU, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    const pid_t tool = fork();
    if (tool == 0) {
      close(reportFd);
      close(commandRead_);
      setpgid(0, 0);
      tcsetpgrp(terminal, getpid());
      // Ignored signals stay ignored across exec; the tool starts with the defaults.
      signal(SIGTTOU, SIG_DFL);
      signal(SIGINT, SIG_DFL);
      signal(SIGTSTP, SIG_DFL);
      StartTool(launch, terminal, out);
    }
    setpgid(tool, tool);
    tcsetpgrp(terminal, tool);
    close(out);
    report(kReportStarted, &tool, sizeof tool);
    for (;;) {
      int status = 0;
      if (waitpid(tool, &status, WUNTRACED) != tool) _exit(123);
      if (!WIFSTOPPED(status)) {
        report(kReportEnded, &status, sizeof status);
        _exit(0);
      }
      struct termios atStop;
      const char wasCooked = tcgetattr(terminal, &atStop) == 0 && (atStop.c_lflag & ICANON) && (atStop.c_lflag & ECHO);
      report(kReportStopped, &wasCooked, 1);
      tcsetpgrp(terminal, getpgrp());
      tcsetattr(terminal, TCSANOW, &cooked);
      char fg = 0;
      if (read(commandRead_, &fg, 1) != 1) _exit(124);
      tcsetpgrp(terminal, tool);
      kill(-tool, SIGCONT);
      report(kReportResumed, "", 0);
    }
  }

  bool ReadReport() {
    if (report_ < 0) return false;
    char buffer[64];
    const ssize_t n = read(report_, buffer, sizeof buffer);
    if (n <= 0) {
      close(report_);
      report_ = -1;
      return false;
    }
    reports_.append(buffer, std::size_t(n));
    // Whole reports only; the rest waits for its remaining bytes.
    for (;;) {
      if (reports_.empty()) break;
      const char kind = reports_[0];
      const std::size_t size = kind == kReportStarted ? 1 + sizeof(pid_t)
                               : kind == kReportStopped ? 2
                               : kind == kReportEnded  ? 1 + sizeof(int)
                                                       : 1;
      if (reports_.size() < size) break;
      if (kind == kReportStarted) std::memcpy(&toolPid_, &reports_[1], sizeof toolPid_);
      if (kind == kReportStopped) cookedAtStop_ = reports_[1];
      if (kind == kReportResumed) resumed_ = true;
      if (kind == kReportEnded) std::memcpy(&endStatus_, &reports_[1], sizeof endStatus_);
      reports_.erase(0, size);
    }
    return true;
  }

  // Waits for anything from the tool's output, the shell or the terminal
  // (whose echo is drained). False once the output has ended.
  bool Pump() {
    if (out_ < 0) return false;
    struct pollfd fds[3] = {{out_, POLLIN, 0}, {report_, POLLIN, 0}, {master_, POLLIN, 0}};
    if (poll(fds, 3, 1000) < 0) return true;
    if (fds[1].revents) ReadReport();
    if (fds[2].revents) {
      char echo[256];
      if (read(master_, echo, sizeof echo) <= 0) {
        close(master_);  // the terminal hung up: the shell is gone
        master_ = -1;
      }
    }
    if (fds[0].revents) {
      char buffer[4096];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) {
        close(out_);
        out_ = -1;
        return false;
      }
      output_.append(buffer, std::size_t(n));
    }
    return true;
  }

  Input input_;
  pid_t child_ = -1;
  int out_ = -1;
  int inputKept_ = -1;
  int master_ = -1;
  int slave_ = -1;
  int report_ = -1;
  int reportWrite_ = -1;
  int command_ = -1;  // the test's `fg` to the shell
  int commandRead_ = -1;
  std::string slaveName_;
  bool waited_ = false;
  std::string output_;
  std::string reports_;  // bytes of a report not yet complete
  pid_t toolPid_ = -1;
  int cookedAtStop_ = -1;
  bool resumed_ = false;
  int endStatus_ = -1;
};

inline unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

#endif

inline ToolResult RunToolAs(const ToolLaunch& launch) {
  ToolProcess process(launch);
  return process.Wait();
}

inline ToolResult RunTool(const std::vector<std::string>& args) { return RunToolAs(ToolLaunch(args)); }

// Runs the tool with `keys` already typed on its terminal.
inline ToolResult RunToolWithKeys(const std::vector<std::string>& args, const std::string& keys) {
  return RunToolAs(ToolLaunch(args, Input::kTerminal, keys));
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
  std::string File(const std::string& name) const {
    return platform::Utf8FromPath(path_ / platform::PathFromUtf8(name));
  }
  std::string Copy(const std::string& dataFile, const std::string& as) const {
    std::filesystem::copy_file(std::string(CLIPVANE_TEST_DATA_DIR) + "/" + dataFile, path_ / platform::PathFromUtf8(as),
                               std::filesystem::copy_options::overwrite_existing);
    return File(as);
  }
  std::string Path() const { return platform::Utf8FromPath(path_); }

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
