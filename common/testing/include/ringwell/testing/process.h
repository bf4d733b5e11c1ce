// A program under test, run as a child process: started with extra
// environment variables, its standard output read line by line (to wait for
// a readiness line), stopped with a signal and waited for.
//
// Thread-safety: a ChildProcess is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace ringwell::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `argv[0]` with `argv`, the current environment plus `env`; its
  // standard output is captured, its standard error goes to ours.
  bool Start(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = {});
  // Reads output until a line containing `text` arrives; false on timeout or
  // end of output.
  bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout);
  // Everything read from the child's output so far.
  const std::string& output() const { return output_; }

  void Signal(int signal) const;
  // Waits for the child to end; its exit status as from waitpid (decode with
  // WIFEXITED/WEXITSTATUS), or -1 on timeout.
  int Wait(std::chrono::milliseconds timeout);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  void ReadAvailable(int timeout_ms);

  pid_t pid_ = -1;
  int output_fd_ = -1;
  std::string output_;
  std::size_t scanned_ = 0;
};

// Runs a program to its end and returns its exit code (-1 when it did not exit
// normally); its standard output goes to `output` when given.
int RunProgram(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {}, std::string* output = nullptr);

// What a program that ran to its end gave back.
struct ProgramResult {
  int exit_code = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};
// Runs a program to its end with both its outputs captured (its standard
// input is empty). With `enforce_permissions` the program is subject to file
// permissions even when run by root (the capabilities that bypass them are
// taken out of its bounding set before it starts).
ProgramResult RunCapturing(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env = {},
                           bool enforce_permissions = false);

}  // namespace ringwell::testing
