#pragma once
// Runs the clipvane executable as a user would, with standard input taken from
// a file (keys to press) and standard output captured.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace clipvane::testing {

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  std::string output;
};

class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::string& stdinPath, const std::string& dir) {
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
      std::vector<char*> argv;
      std::string program = CLIPVANE_TOOL_PATH;
      argv.push_back(program.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
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

inline ToolResult RunTool(const std::vector<std::string>& args, const std::string& stdinPath = "",
                          const std::string& dir = "") {
  ToolProcess process(args, stdinPath, dir);
  return process.Wait();
}

// A scratch folder removed at the end of the test.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name) {
    path_ = std::filesystem::temp_directory_path() / ("clipvane_" + name + "_" + std::to_string(getpid()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Copy(const std::string& dataFile, const std::string& as) const {
    std::filesystem::copy_file(std::string(CLIPVANE_TEST_DATA_DIR) + "/" + dataFile, path_ / as,
                               std::filesystem::copy_options::overwrite_existing);
    return File(as);
  }
  std::string Keys(const std::string& keys) const {
    std::string path = File("keys.txt");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(keys.data(), 1, keys.size(), f);
    std::fclose(f);
    return path;
  }

 private:
  std::filesystem::path path_;
};

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }
inline uint64_t SizeOf(const std::string& path) { return std::filesystem::file_size(path); }

}  // namespace clipvane::testing
