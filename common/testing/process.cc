#include "ringwell/testing/process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace ringwell::testing {

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (output_fd_ >= 0) ::close(output_fd_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  output_fd_ = pipe_fds[0];
  return true;
}

void ChildProcess::ReadAvailable(int timeout_ms) {
  if (output_fd_ < 0) return;
  pollfd poll_fd{output_fd_, POLLIN, 0};
  if (::poll(&poll_fd, 1, timeout_ms) <= 0) return;
  char buffer[4096];
  const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
  if (n <= 0) {
    ::close(output_fd_);
    output_fd_ = -1;
    return;
  }
  output_.append(buffer, static_cast<std::size_t>(n));
}

bool ChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t found = output_.find(text, scanned_);
    if (found != std::string::npos) {
      scanned_ = found + text.size();
      return true;
    }
    if (output_fd_ < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    ReadAvailable(50);
  }
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      ReadAvailable(0);
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    ReadAvailable(20);
  }
  return -1;
}

int RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               std::string* output) {
  ChildProcess child;
  if (!child.Start(argv, env)) return -1;
  const int status = child.Wait(std::chrono::minutes(2));
  if (output != nullptr) *output = child.output();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

std::string ReadAndClose(int fd) {
  std::string text;
  char buffer[4096];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace

ProgramResult RunCapturing(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env,
                           bool enforce_permissions) {
  ProgramResult result;
  // Files rather than pipes: nothing to drain while the child runs.
  char out_name[] = "/tmp/ringwell-out-XXXXXX";
  char err_name[] = "/tmp/ringwell-err-XXXXXX";
  const int out_fd = ::mkostemp(out_name, O_CLOEXEC);
  const int err_fd = ::mkostemp(err_name, O_CLOEXEC);
  if (out_fd < 0 || err_fd < 0) return result;
  ::unlink(out_name);
  ::unlink(err_name);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, STDIN_FILENO);
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    if (enforce_permissions) {
      for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
      }
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  // A program that should have refused to run but runs is stopped after a
  // minute (and counts as not having exited).
  int status = 0;
  pid_t done = 0;
  for (int waited_ms = 0; pid > 0 && done == 0; waited_ms += 20) {
    done = ::waitpid(pid, &status, WNOHANG);
    if (done == 0 && waited_ms > 60000) ::kill(pid, SIGKILL);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done == pid && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  result.out = ReadAndClose(out_fd);
  result.err = ReadAndClose(err_fd);
  return result;
}

}  // namespace ringwell::testing
