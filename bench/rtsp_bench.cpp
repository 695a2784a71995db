// RTSP cameras against references measured in the same run on the same
// stream (the tests' GStreamer server, tests/servers/rtsp_server.py):
//   - process CPU per second, H.264 and H.265 at 640x480, 1920x1080 and
//     3840x2160: RtspReader delivering every frame as BGR (a host in
//     continuous mode at the frame rate) ÷ the ffmpeg command line decoding
//     the stream to nothing (and, informational, to BGR), the three at once
//     on the server's one encoder, over the same window;
//   - age of the picture taken at 10 grabs/s, from the moment the server made
//     it (the clock it carries in its pixels) ÷ the frame interval, and ÷ the
//     same age with GStreamer's rtspsrc ! decodebin ! appsink
//     (bench/gst_rtsp.py), beside OpenCV's VideoCapture (bench/opencv_rtsp.py);
//   - with --wine-bench, the same age through the Windows DLL and its RTSP
//     module under Wine, as a host grabbing 10 times a second sees it
//     (bench/wine_bench.cpp, RtspAges).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Table.h"
#include "acquisition/source/rtsp/RtspLoader.h"
#include "acquisition/source/rtsp/RtspReader.h"
#include "common/Options.h"
#include "simcam/RtspServer.h"

namespace {

using orvella::RtspPicture;
using orvella::RtspReader;
using orvella::RtspWait;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 640, kHeight = 480, kFps = 25;  // the age rows' stream
constexpr double kFrameMs = 1000.0 / kFps;

// The CPU rows' streams: the server encodes two large ones at a low rate, so
// that it keeps up on a small machine.
struct CpuStream {
  int width, height, fps;
};
constexpr CpuStream kAllCpuStreams[] = {{640, 480, 25}, {1920, 1080, 10}, {3840, 2160, 3}};
const char* const kCodecs[] = {"h264", "h265"};
// The age rows: H.264 only. x265 falls behind on a small shared machine and
// its queue, not the client, then makes the age.
const char* const kAgeCodecs[] = {"h264"};

struct Options {
  std::string python = "/usr/bin/python3", server = ORVELLA_RTSP_SERVER, opencv = ORVELLA_OPENCV_RTSP;
  std::string gstreamer = ORVELLA_GST_RTSP, module = ORVELLA_RTSP_MODULE, only;
  std::string wineRun, wineBench;  // the Windows DLL and its module under Wine
  double seconds = 10;
  int rounds = 3;  // ours and the reference in turn; medians
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? -1 : values[values.size() / 2];
}

using orvella::bench::AddRow;
using orvella::bench::MetAtMost;
using orvella::bench::PrintTable;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[200];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The server's clock (ms mod 65536) from the second row of blocks.
int PictureClock(const std::vector<unsigned char>& bgr) {
  int value = 0;
  for (int bit = 0; bit < 16; ++bit) value = value * 2 + (bgr[(size_t(12) * kWidth + bit * 8 + 4) * 3 + 1] > 128);
  return value;
}

double NowMs() {
  return double(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count()) /
         1000.0;
}

double AgeMs(const std::vector<unsigned char>& bgr) {
  const double now = NowMs();
  const double made = double(PictureClock(bgr));
  double age = std::fmod(now, 65536.0) - made;
  return age < 0 ? age + 65536.0 : age;
}

// CPU seconds a running child has used (/proc/PID/stat: utime, stime).
double ChildCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) throw std::runtime_error("ffmpeg ended early");
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());  // fields 14 and 15
  return ticks / double(sysconf(_SC_CLK_TCK));
}

// The ffmpeg command line decoding the stream to nothing; `bgr` adds
// -pix_fmt bgr24, a conversion like ours.
pid_t StartFfmpeg(const std::string& url, bool bgr) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start ffmpeg");
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::vector<const char*> args = {"ffmpeg",          "-nostdin", "-loglevel", "quiet",
                                     "-rtsp_transport", "tcp",      "-i",        url.c_str()};
    if (bgr) args.insert(args.end(), {"-pix_fmt", "bgr24"});
    args.insert(args.end(), {"-f", "null", "-", nullptr});
    execvp("ffmpeg", const_cast<char* const*>(args.data()));
    _exit(127);
  }
  return pid;
}

// CPU per second over one window: ours, ffmpeg's and ffmpeg's to BGR.
struct CpuRound {
  double ours = 0, ffmpeg = 0, ffmpegBgr = 0;
  double frames = 0;  // pictures we decoded per second
};

// The three clients at once on the server's one shared encoder: the same
// pictures over the same window, so a server falling behind slows all
// three alike. Ours takes the newest picture as BGR each time one is there
// (a host in continuous mode at the frame rate); the window starts 3 s after
// the connections (a new session's first pictures, ffmpeg's probing).
CpuRound MeasureCpu(const std::string& url, const CpuStream& stream, double seconds) {
  const pid_t ffmpeg = StartFfmpeg(url, false), ffmpegBgr = StartFfmpeg(url, true);
  CpuRound round;
  try {
    const Clock::time_point opened = Clock::now();
    RtspReader client;
    client.Open(url, orvella::RtspLimits{30000, 30000});  // the server makes a 4K encoder slowly
    std::vector<unsigned char> bgr(size_t(stream.width) * stream.height * 3);
    const orvella::PixelTarget target{bgr.data(), stream.width, stream.height, true};
    RtspPicture last;
    if (client.WaitPicture(last, Clock::now() + std::chrono::seconds(30)) != RtspWait::kPicture)
      throw std::runtime_error("no picture: " + client.Failure());
    for (const auto warm = opened + std::chrono::seconds(3); Clock::now() < warm;)
      if (client.WaitPicture(last, warm) == RtspWait::kPicture)
        last = client.CopyNewest(target, stream.width, stream.height, true);
    const double ours0 = CpuSeconds(RUSAGE_SELF), ffmpeg0 = ChildCpuSeconds(ffmpeg), bgr0 = ChildCpuSeconds(ffmpegBgr);
    const uint64_t first = last.sequence;  // counts every picture decoded, taken or not
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(long(seconds * 1000));
    while (Clock::now() < end)
      if (client.WaitPicture(last, end) == RtspWait::kPicture)
        last = client.CopyNewest(target, stream.width, stream.height, true);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    round.ours = (CpuSeconds(RUSAGE_SELF) - ours0) / wall;
    round.ffmpeg = (ChildCpuSeconds(ffmpeg) - ffmpeg0) / wall;
    round.ffmpegBgr = (ChildCpuSeconds(ffmpegBgr) - bgr0) / wall;
    round.frames = double(last.sequence - first) / wall;
  } catch (...) {
    kill(ffmpeg, SIGKILL), kill(ffmpegBgr, SIGKILL);
    waitpid(ffmpeg, nullptr, 0), waitpid(ffmpegBgr, nullptr, 0);
    throw;
  }
  kill(ffmpeg, SIGKILL), kill(ffmpegBgr, SIGKILL);
  waitpid(ffmpeg, nullptr, 0), waitpid(ffmpegBgr, nullptr, 0);
  return round;
}

// Where in its frame interval grab `n` falls, 0 to 1: spread evenly (the
// golden ratio's multiples), not at random, so that a few hundred grabs
// measure the mean age to a fraction of a millisecond, not to one (the
// waiting alone varies by a frame interval). gst_rtsp.py and wine_bench use
// the same sequence.
double GrabPhase(int n) {
  return std::fmod(n * 0.6180339887498949, 1.0);
}

// Mean age of the newest picture, taken 10 times a second; `waitedMs` is the
// part of it the picture spent decoded, waiting in the client.
double OurAgeMs(const std::string& url, double seconds, double& waitedMs) {
  RtspReader client;
  client.Open(url, orvella::RtspLimits{});
  std::vector<unsigned char> bgr(size_t(kWidth) * kHeight * 3);
  const orvella::PixelTarget target{bgr.data(), kWidth, kHeight, true};
  if (client.WaitPicture(RtspPicture{}, Clock::now() + std::chrono::seconds(10)) != RtspWait::kPicture)
    throw std::runtime_error("no picture: " + client.Failure());
  double sum = 0, waited = 0;
  int n = 0;
  // 10 grabs/s, each at another moment of its frame interval: 100 ms is
  // 2.5 frames, so a fixed schedule would see two phases only.
  for (auto next = Clock::now(); n < int(seconds * 10); next += std::chrono::milliseconds(100)) {
    std::this_thread::sleep_until(next + std::chrono::microseconds(long(GrabPhase(n) * kFrameMs * 1000)));
    const RtspPicture picture = client.CopyNewest(target, kWidth, 16, true);
    sum += AgeMs(bgr);
    waited += std::chrono::duration<double, std::milli>(Clock::now() - picture.decodedAt).count();
    ++n;
  }
  waitedMs = waited / n;
  return sum / n;
}

// A Python script's "age_ms=A" line (OpenCV's or GStreamer's age) and, where
// it prints one, its "decoded_ms=D" line (made -> handed over, every picture).
double ScriptAgeMs(const Options& o, const std::string& script, const std::string& url, double* decodedMs = nullptr) {
  const std::string command =
      o.python + " " + script + " --url '" + url + "' --seconds " + std::to_string(o.seconds) + " 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  double age = -1, decoded = -1;
  if (out) {
    if (std::fscanf(out, "age_ms=%lf ", &age) != 1) age = -1;
    if (std::fscanf(out, "decoded_ms=%lf", &decoded) != 1) decoded = -1;
    pclose(out);
  }
  if (decodedMs) *decodedMs = decoded;
  return age;
}

orvella::simcam::RtspServer Serve(const Options& o, int width, int height, int fps) {
  return orvella::simcam::StartRtspServer(
      o.server, {"--width", std::to_string(width), "--height", std::to_string(height), "--fps", std::to_string(fps)});
}

std::string Url(const orvella::simcam::RtspServer& server, const char* codec) {
  return "rtsp://127.0.0.1:" + std::to_string(server.port) + "/" + codec;
}

void CpuRows(const Options& o) {
  for (const CpuStream& stream : kAllCpuStreams) {
    if (o.only == "cpu640" && stream.width != 640) continue;
    orvella::simcam::RtspServer server = Serve(o, stream.width, stream.height, stream.fps);
    for (const char* codec : kCodecs) {
      const std::string url = Url(server, codec);
      std::fprintf(stderr, "rtsp_bench: CPU, %s, %g s per measurement\n", url.c_str(), o.seconds);
      std::vector<double> ratios, bgrRatios, ours, ffmpeg, ffmpegBgr, frames;
      for (int round = 0; round < o.rounds; ++round) {
        const CpuRound r = MeasureCpu(url, stream, o.seconds);
        ratios.push_back(r.ours / r.ffmpeg), bgrRatios.push_back(r.ours / r.ffmpegBgr);
        ours.push_back(r.ours), ffmpeg.push_back(r.ffmpeg), ffmpegBgr.push_back(r.ffmpegBgr);
        frames.push_back(r.frames);
        std::fprintf(stderr, "  round %d: ours %.1f %%, ffmpeg %.1f %%, to BGR %.1f %% of a core (%.1f frames/s)\n",
                     round + 1, r.ours * 100, r.ffmpeg * 100, r.ffmpegBgr * 100, r.frames);
      }
      const std::string what =
          Format("RTSP %s %dx%d %d/s", codec[3] == '4' ? "H.264" : "H.265", stream.width, stream.height, stream.fps);
      AddRow(what + ": CPU ÷ ffmpeg -f null",
             Format("%.1f %% vs %.1f %% of a core (%.1f frames/s as BGR)", Median(ours) * 100, Median(ffmpeg) * 100,
                    Median(frames)),
             "≤ 1.0", Median(ratios), MetAtMost(Median(ratios), 1.0));
      AddRow("  the same ÷ ffmpeg -pix_fmt bgr24 -f null (converting as we do)",
             Format("%.1f %% vs %.1f %% of a core", Median(ours) * 100, Median(ffmpegBgr) * 100), "informational",
             Median(bgrRatios), "–");
    }
    orvella::simcam::StopRtspServer(server);
  }
}

void AgeRows(const Options& o) {
  orvella::simcam::RtspServer server = Serve(o, kWidth, kHeight, kFps);
  for (const char* codec : kAgeCodecs) {
    const std::string url = Url(server, codec);
    const char* name = codec[3] == '4' ? "H.264" : "H.265";
    std::fprintf(stderr, "rtsp_bench: age, %s, %g s per measurement\n", url.c_str(), o.seconds);
    std::vector<double> ourRounds, ourDecoded, gstRounds, gstDecoded;
    for (int round = 0; round < o.rounds; ++round) {
      double waited = 0, decoded = -1;
      ourRounds.push_back(OurAgeMs(url, o.seconds, waited));
      ourDecoded.push_back(ourRounds.back() - waited);
      gstRounds.push_back(ScriptAgeMs(o, o.gstreamer, url, &decoded));
      gstDecoded.push_back(decoded);
      std::fprintf(stderr, "  round %d: ours %.1f ms (made -> decoded %.2f ms), GStreamer %.1f ms (%.2f ms)\n",
                   round + 1, ourRounds.back(), ourDecoded.back(), gstRounds.back(), decoded);
    }
    const double age = Median(ourRounds), gst = Median(gstRounds);
    AddRow(Format("RTSP %s %dx%d %d/s: picture age at 10 grabs/s ÷ frame interval", name, kWidth, kHeight, kFps),
           Format("%.1f ms (frame %.0f ms)", age, kFrameMs), "≤ 1.0", age / kFrameMs, MetAtMost(age / kFrameMs, 1.0));
    if (gst > 0) {
      AddRow(Format("  the same age ÷ GStreamer rtspsrc latency=0 ! decodebin ! appsink (%s)", name),
             Format("%.2f ms vs %.2f ms", age, gst), "≤ 1.0", age / gst, MetAtMost(age / gst, 1.0));
      // The part of the age a client makes, without the waiting for a grab.
      const double ours = Median(ourDecoded), theirs = Median(gstDecoded);
      if (theirs > 0)
        AddRow("    made -> decoded and ready, ours (the pictures grabbed) ÷ GStreamer's (every picture)",
               Format("%.2f ms vs %.2f ms", ours, theirs), "informational", ours / theirs, "–");
    } else {
      AddRow("  GStreamer rtspsrc ! decodebin ! appsink", "not run (gstreamer1.0-libav missing?)", "≤ 1.0", -1, "?");
    }
    if (codec[3] != '4') continue;
    const double opencv = ScriptAgeMs(o, o.opencv, url);
    if (opencv >= 0)
      AddRow("  OpenCV VideoCapture, same stream and rate: age ÷ frame interval", Format("%.1f ms", opencv), "–",
             opencv / kFrameMs, "–");
    else
      AddRow("  OpenCV VideoCapture", "not run (python3-opencv missing?)", "–", -1, "–");
  }
  orvella::simcam::StopRtspServer(server);
}

// Mean age of the pictures the Windows DLL hands a host under Wine
// (bench/wine_bench.cpp, RtspAges): its clock is mapped onto ours by the
// smallest difference seen at its "clock" lines, as they arrive.
double WineAgeMs(const Options& o, const std::string& url) {
  char dir[] = "/tmp/rtsp_bench_XXXXXX";
  if (!mkdtemp(dir)) throw std::runtime_error("cannot make a directory for the settings");
  const std::string command = o.wineRun + " " + o.wineBench + " --dir Z:" + dir + " --rtsp-age " + url + " --fps " +
                              std::to_string(kFps) + " --seconds " + std::to_string(o.seconds) + " 2>&1";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return -1;
  double offset = 1e300;
  std::vector<std::pair<double, int>> grabs;
  char line[512];
  while (std::fgets(line, sizeof line, out)) {
    double t = 0;
    int made = 0;
    if (std::sscanf(line, "clock %lf", &t) == 1)
      offset = std::min(offset, NowMs() - t);
    else if (std::sscanf(line, "grab %lf %d", &t, &made) == 2)
      grabs.emplace_back(t, made);
    else
      std::fprintf(stderr, "    wine_bench: %s", line);
  }
  pclose(out);
  std::system((std::string("rm -rf ") + dir).c_str());
  if (grabs.empty()) return -1;
  double sum = 0;
  for (const auto& [t, made] : grabs) {
    const double age = std::fmod(t + offset, 65536.0) - made;
    sum += age < 0 ? age + 65536.0 : age;
  }
  return sum / double(grabs.size());
}

void WineRow(const Options& o) {
  const char* what = "Windows RTSP module under Wine, H.264 640x480 25/s: picture age ÷ frame interval";
  if (o.wineRun.empty() || o.wineBench.empty()) return AddRow(what, "not run (no --wine-bench)", "≤ 1.2", -1, "?");
  orvella::simcam::RtspServer server = Serve(o, kWidth, kHeight, kFps);
  std::vector<double> ages;
  for (int round = 0; round < o.rounds; ++round) {
    ages.push_back(WineAgeMs(o, Url(server, "h264")));
    std::fprintf(stderr, "  Wine round %d: %.1f ms\n", round + 1, ages.back());
  }
  orvella::simcam::StopRtspServer(server);
  const double age = Median(ages);
  if (age < 0) return AddRow(what, "wine_bench did not run", "≤ 1.2", -1, "?");
  AddRow(what, Format("%.1f ms (frame %.0f ms)", age, kFrameMs), "≤ 1.2", age / kFrameMs,
         MetAtMost(age / kFrameMs, 1.2));
}

int Run(const Options& o) {
  orvella::SetRtspModulePathForTests(o.module.c_str());
  if (o.only.empty() || o.only == "age") AgeRows(o);
  if (o.only.empty() || o.only == "wine") WineRow(o);
  if (o.only.empty() || o.only.compare(0, 3, "cpu") == 0) CpuRows(o);
  PrintTable();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  orvella::tools::Options("rtsp_bench",
                          "usage: rtsp_bench [--seconds S] [--python PYTHON] [--server SCRIPT] [--opencv SCRIPT] "
                          "[--gstreamer SCRIPT] [--module PATH] [--rounds N] [--only age|wine|cpu|cpu640]\n"
                          "                  [--wine-run PATH --wine-bench PATH]\n")
      .Real("--seconds", o.seconds, 1, 3600)
      .Number("--rounds", o.rounds, 1, 100)
      .Text("--python", o.python)
      .Text("--server", o.server)
      .Text("--opencv", o.opencv)
      .Text("--gstreamer", o.gstreamer)
      .Text("--only", o.only)
      .Text("--wine-run", o.wineRun)
      .Text("--wine-bench", o.wineBench)
      .Text("--module", o.module)
      .Parse(argc, argv);
  return orvella::tools::ReportFailures("rtsp_bench", [&] { return Run(o); });
}
