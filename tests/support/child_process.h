// A child process for the native tests: started with its standard output
// on a pipe, its first line read, and ended by its own PID (SIGKILL if the
// test leaves early).
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Runs binary with arguments (argv[0] included) and returns its first line
  // of output (without the line end), or "" when it gave none within
  // timeoutMs (sanitizer start-up can be slow on a busy machine).
  // descriptors: when not 0, the child's descriptor limit (soft and hard).
  std::string Start(const char* binary, std::vector<std::string> arguments,
                    int timeoutMs = 30000, rlim_t descriptors = 0) {
    int out[2];
    if (pipe(out) != 0) return "";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      if (descriptors != 0) {
        struct rlimit limit = {descriptors, descriptors};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
      }
      std::vector<char*> argv;
      for (std::string& word : arguments) argv.push_back(word.data());
      argv.push_back(nullptr);
      execv(binary, argv.data());
      _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
      close(out[0]);
      return "";
    }
    std::string line;
    char c = 0;
    pollfd watch = {out[0], POLLIN, 0};
    while (poll(&watch, 1, timeoutMs) == 1 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    return c == '\n' ? line : "";
  }

  // Sends SIGTERM and waits at most 20 s; the raw wait status or -1.
  int Terminate() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200; i++) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      usleep(100000);
    }
    return -1;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace testsupport
