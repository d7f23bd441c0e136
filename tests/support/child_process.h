// A forked child process that reports to its parent through a pipe, for tests that kill
// another process while it writes, or race it on one database file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

// One message from child to parent: a number, or a failure described in text.
struct ChildReport {
  int64_t value;  // meaning chosen by the test; kChildFailed when text says what went wrong
  char text[248];
};
constexpr int64_t kChildFailed = INT64_MIN;

class ChildProcess {
 public:
  // Forks. The child runs body, which reports through Send, then leaves with _exit(0), so
  // nothing of the parent's (gtest, atexit handlers, open connections) runs twice.
  // REQUIRES: no SQLite connection of the parent is used by the child.
  explicit ChildProcess(const std::function<void()>& body);
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Child side: writes one report; a failed write means the parent is gone, so it exits.
  static void Send(int64_t value, const std::string& text = "");
  static void Fail(const std::string& text) { Send(kChildFailed, text); }

  // Parent side: the next report, or false once the child is gone and the pipe is drained.
  bool Receive(ChildReport* out);
  // SIGKILL, then reap.
  void Kill();
  // Waits for the child to leave; the wait status.
  int Wait();

 private:
  pid_t pid_ = -1;
  int readFd_ = -1;
  bool reaped_ = false;
};
