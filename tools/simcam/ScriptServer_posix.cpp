#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "simcam/ScriptServer.h"

namespace orvella::simcam {

namespace {

// The first line the child writes, within `ms`; "" when none came.
std::string ReadLine(int fd, int ms) {
  std::string line;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, ms) > 0) {
    char c;
    if (read(fd, &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return line;
}

}  // namespace

ScriptServer StartScriptServer(const std::string& script, const std::vector<std::string>& args) {
  if (access(script.c_str(), R_OK) != 0) throw std::runtime_error("the server script " + script + " is missing");
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv{"python3", script};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  ScriptServer server;
  server.pid = fork();
  if (server.pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // goes with us, however we end
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    execv("/usr/bin/python3", cargv.data());
    _exit(127);
  }
  close(out[1]);
  if (server.pid < 0) {
    close(out[0]);
    throw std::runtime_error("fork failed");
  }
  server.firstLine = ReadLine(out[0], 30000);
  close(out[0]);
  return server;
}

void StopScriptServer(ScriptServer& server) {
  if (server.pid <= 0) return;
  kill(pid_t(server.pid), SIGCONT);
  kill(pid_t(server.pid), SIGTERM);
  waitpid(pid_t(server.pid), nullptr, 0);
  server.pid = -1;
}

std::string BesideProgram(const std::string& name) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
  return dir.substr(0, dir.rfind('/') + 1) + name;
}

}  // namespace orvella::simcam
