#include "simcam/RtspServer.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

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

RtspServer StartRtspServer(const std::string& script, const std::vector<std::string>& args) {
  if (access(script.c_str(), R_OK) != 0) throw std::runtime_error("the RTSP server script " + script + " is missing");
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv{"python3", script};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  RtspServer server;
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
  const std::string line = ReadLine(out[0], 30000);
  close(out[0]);
  if (std::sscanf(line.c_str(), "port=%d secure_port=%d", &server.port, &server.securePort) != 2) {
    StopRtspServer(server);
    throw std::runtime_error("the RTSP server did not start (it needs Debian's python3-gi, gir1.2-gst-rtsp-server-1.0 "
                             "and GStreamer's plugins: tools/setup.sh)");
  }
  return server;
}

void StopRtspServer(RtspServer& server) {
  if (server.pid <= 0) return;
  kill(server.pid, SIGCONT);
  kill(server.pid, SIGTERM);
  waitpid(server.pid, nullptr, 0);
  server.pid = -1;
}

RtspServer StartRtspServerBesideProgram(const std::vector<std::string>& args) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
  return StartRtspServer(dir.substr(0, dir.rfind('/') + 1) + "orvella-rtsp-server.py", args);
}

}  // namespace orvella::simcam
