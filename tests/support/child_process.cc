#include "support/child_process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>

namespace {

// The write end of the pipe, in the child only.
int childWriteFd = -1;

bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = (const char*)data;
  while (n > 0) {
    ssize_t written = write(fd, p, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    p += written;
    n -= (size_t)written;
  }
  return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::function<void()>& body) {
  int fds[2];
  if (pipe(fds) != 0) {
    perror("pipe");
    return;
  }
  fflush(nullptr);  // buffered output would otherwise be written by both processes
  pid_ = fork();
  if (pid_ == 0) {
    close(fds[0]);
    childWriteFd = fds[1];
    body();
    close(childWriteFd);
    _exit(0);
  }
  close(fds[1]);
  if (pid_ < 0) {
    perror("fork");
    close(fds[0]);
    return;
  }
  readFd_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) Kill();
  if (readFd_ >= 0) close(readFd_);
}

void ChildProcess::Send(int64_t value, const std::string& text) {
  ChildReport report{};
  report.value = value;
  snprintf(report.text, sizeof(report.text), "%s", text.c_str());
  if (!WriteAll(childWriteFd, &report, sizeof(report))) _exit(1);
}

bool ChildProcess::Receive(ChildReport* out) {
  if (readFd_ < 0) return false;
  char* p = (char*)out;
  size_t got = 0;
  while (got < sizeof(*out)) {
    ssize_t n = read(readFd_, p + got, sizeof(*out) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // reports are written whole, so a partial one means a kill
    got += (size_t)n;
  }
  return true;
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGKILL);
  Wait();
}

int ChildProcess::Wait() {
  int status = 0;
  if (pid_ <= 0 || reaped_) return status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  return status;
}
