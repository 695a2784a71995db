// orvella-viewer: shows camera slots live through the driver. Loads the
// driver like a host (run-time loading, the 17 exports only), runs each slot
// in continuous mode and draws every image with its rate and latency.
//
// Threads: the driver calls OnComplete on a camera's worker thread; it copies
// the rows into the slot's back buffer and hands the slot to the GTK main
// loop with g_idle_add. Everything GTK runs on the main thread.
//
// Without --url it starts orvella-simcam beside it, as the sample host does.
#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/DriverExports.h"
#include "common/HostHelpers.h"
#include "common/Options.h"

namespace {

using namespace orvella::host;

const char kUsage[] =
    "usage: orvella-viewer [options]\n"
    "  --url URL          the cameras' picture (default: start orvella-simcam and use it)\n"
    "  --tls-trust VALUE  the cameras' TlsTrust: system, any or sha256//<key> (default: none)\n"
    "  --camera NAME      a camera slot to show; repeat for more (default \"Camera 1\")\n"
    "  --slots N          show \"Camera 1\" to \"Camera N\"\n"
    "  --dir DIR          system directory for Orvella.ini and Orvella.log (default: a new temporary\n"
    "                     one). Without --url, cameras whose section there has an ImageUrl keep it.\n"
    "  --library PATH     the driver (default: beside this program, else the installed one)\n"
    "  --width N --height N  image size for the written sections (default 640x480)\n"
    "  --gray             8-bit gray instead of 24-bit colour\n"
    "  --rate N           RefreshRate, images per second (default 10)\n"
    "  --log-level N      the driver's LogLevel 0..4 (default 1)\n"
    "  --verbose          print the driver's log lines\n"
    "  --simcam \"ARGS\"    extra arguments for the simulated camera\n"
    "  --screenshot FILE  after --frames images on every slot, save the window as PNG and quit\n"
    "  --frames N         images per slot before the screenshot (default 5)\n"
    "  --timeout-s N      give up (exit 1) when no screenshot after N seconds (default 30)\n"
    "  --open-settings-after N  open the first slot's settings dialog after N images (demo, tests)\n";

struct Options : HostOptions {
  std::string screenshot;
  std::vector<std::string> cameras;
  int frames = 5, timeoutS = 30, openSettingsAfter = 0;
};

Options ParseArgs(int argc, char** argv) {
  Options o;
  o.section.rate = 10;
  int slots = 0;
  orvella::tools::Options options("orvella-viewer", kUsage);
  AddHostOptions(options, o);
  options.Text("--screenshot", o.screenshot)
      .Texts("--camera", o.cameras)
      .Number("--frames", o.frames, 1, 100000)
      .Number("--timeout-s", o.timeoutS, 1, 3600)
      .Number("--slots", slots, 1, 10)
      .Number("--open-settings-after", o.openSettingsAfter, 1, 100000)
      .Parse(argc, argv);
  for (int k = 1; k <= slots; ++k) o.cameras.push_back("Camera " + std::to_string(k));
  if (o.cameras.empty()) o.cameras.push_back("Camera 1");
  return o;
}

// ---- slots --------------------------------------------------------------------

// One camera on screen. `back` and the arrival fields are shared with the
// driver's worker thread under `lock`; everything else is the GTK thread's.
struct Slot {
  std::string camera;
  int port = 0;
  int width = 0, height = 0, channels = 3;  // changed only while the camera is not continuous

  std::mutex lock;
  std::vector<unsigned char> back;  // GUARDED_BY(lock): the newest image, written by the callback
  Clock::time_point arrived;        // GUARDED_BY(lock)
  bool fresh = false;               // GUARDED_BY(lock): back holds an image not shown yet
  std::atomic<bool> idleQueued{false};

  std::vector<unsigned char> front;  // the image on screen
  cairo_surface_t* surface = nullptr;
  GtkWidget* area = nullptr;
  GtkWidget* button = nullptr;
  long shown = 0;
  std::deque<Clock::time_point> recent;  // arrival times of the last second
  double latencyMs = 0;                  // arrival in the driver to on screen, last image
  std::vector<double> latencies;
};

struct Viewer {
  std::unique_ptr<DriverExports> driver;
  std::vector<std::unique_ptr<Slot>> slots;
  GtkWidget* window = nullptr;
  Options options;
  Clock::time_point started;
  bool screenshotTaken = false;
  bool settingsOpened = false;
  int exitCode = 0;
};

Viewer viewer;  // lives until exit: a late callback never meets a dead slot
constexpr int kMaxPorts = 64;
std::atomic<Slot*> slotOfPort[kMaxPorts];

gboolean ShowNewest(gpointer data);

// A driver worker thread: copy the rows now (the driver may overwrite its
// buffer once this returns) and let the GTK thread draw them.
void ORVELLA_CALL OnComplete(int, int port) {
  if (port < 0 || port >= kMaxPorts) return;
  Slot* slot = slotOfPort[port].load();
  if (!slot) return;
  {
    std::lock_guard<std::mutex> guard(slot->lock);
    const size_t rowBytes = size_t(slot->width) * slot->channels;
    if (slot->back.size() < rowBytes * slot->height) return;
    for (int row = 0; row < slot->height; ++row)
      viewer.driver->getCVLGrabRow(0, port, slot->back.data() + row * rowBytes, row, 0, slot->width - 1);
    slot->arrived = Clock::now();
    slot->fresh = true;
  }
  if (!slot->idleQueued.exchange(true)) g_idle_add(ShowNewest, slot);
}

// Opens the slot's port with the camera's current settings.
void OpenSlot(Slot& s) {
  DriverExports& d = *viewer.driver;
  int size[2] = {0, 0};
  if (!d.openCVLPort(0, s.port, s.camera.c_str(), size) || size[0] <= 0 || size[1] <= 0)
    throw std::runtime_error("cannot open \"" + s.camera + "\" (--verbose shows why)");
  int bits = 24;
  d.getProperty(0, s.port, "PixelSize", &bits);
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.width = size[0];
    s.height = size[1];
    s.channels = bits / 8;
    s.back.assign(size_t(s.width) * s.height * s.channels, 0);
    s.fresh = false;
  }
  s.front.assign(s.back.size(), 0);
  if (s.surface) cairo_surface_destroy(s.surface);
  s.surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, s.width, s.height);
  gtk_widget_set_size_request(s.area, std::min(s.width, 640) * 3 / 4, std::min(s.height, 480) * 3 / 4);
  slotOfPort[s.port] = &s;
  d.setCompleteCallback(0, s.port, OnComplete);
}

// The driver's images are blue-green-red or gray; cairo's RGB24 is
// blue-green-red-x in memory on this little-endian machine.
void Convert(Slot& s) {
  cairo_surface_flush(s.surface);
  unsigned char* out = cairo_image_surface_get_data(s.surface);
  const int stride = cairo_image_surface_get_stride(s.surface);
  for (int y = 0; y < s.height; ++y) {
    const unsigned char* in = s.front.data() + size_t(y) * s.width * s.channels;
    unsigned char* o = out + size_t(y) * stride;
    for (int x = 0; x < s.width; ++x, o += 4, in += s.channels) {
      o[0] = in[0];
      o[1] = in[s.channels == 3 ? 1 : 0];
      o[2] = in[s.channels == 3 ? 2 : 0];
      o[3] = 0;
    }
  }
  cairo_surface_mark_dirty(s.surface);
}

void TakeScreenshot();
void OpenSettings(Slot* s);

// GTK thread: the newest image of a slot onto the screen.
gboolean ShowNewest(gpointer data) {
  Slot& s = *static_cast<Slot*>(data);
  Clock::time_point arrived;
  bool fresh;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.idleQueued = false;
    fresh = s.fresh;
    if (fresh && s.back.size() == s.front.size()) std::swap(s.back, s.front);
    s.fresh = false;
    arrived = s.arrived;
  }
  if (!fresh) return G_SOURCE_REMOVE;
  Convert(s);
  ++s.shown;
  const Clock::time_point now = Clock::now();
  s.recent.push_back(arrived);
  while (s.recent.size() > 1 && now - s.recent.front() > std::chrono::seconds(1)) s.recent.pop_front();
  s.latencyMs = Ms(now - arrived);
  s.latencies.push_back(s.latencyMs);
  gtk_widget_queue_draw(s.area);

  const Options& o = viewer.options;
  if (o.openSettingsAfter > 0 && !viewer.settingsOpened && &s == viewer.slots.front().get() &&
      s.shown >= o.openSettingsAfter) {
    viewer.settingsOpened = true;
    g_idle_add(
        [](gpointer slot) {
          OpenSettings(static_cast<Slot*>(slot));
          return G_SOURCE_REMOVE;
        },
        &s);
  }
  return G_SOURCE_REMOVE;
}

double Rate(const Slot& s) {
  if (s.recent.size() < 2) return 0;
  return double(s.recent.size() - 1) * 1000 / Ms(s.recent.back() - s.recent.front());
}

gboolean Draw(GtkWidget* area, cairo_t* cr, gpointer data) {
  Slot& s = *static_cast<Slot*>(data);
  const double w = gtk_widget_get_allocated_width(area), h = gtk_widget_get_allocated_height(area);
  cairo_set_source_rgb(cr, 0.15, 0.15, 0.15);
  cairo_paint(cr);
  if (!s.surface || s.shown == 0) return TRUE;
  // Fit the image, keeping its proportions.
  const double scale = std::min(w / s.width, h / s.height);
  cairo_save(cr);
  cairo_translate(cr, (w - s.width * scale) / 2, (h - s.height * scale) / 2);
  cairo_scale(cr, scale, scale);
  cairo_set_source_surface(cr, s.surface, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);

  char text[128];
  std::snprintf(text, sizeof text, "%s  %.1f images/s  latency %.1f ms  #%ld", s.camera.c_str(), Rate(s), s.latencyMs,
                s.shown);
  cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 13);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text, &extents);
  const double pad = 5, y = h - pad;
  cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
  cairo_rectangle(cr, 0, y - extents.height - 2 * pad, extents.x_advance + 2 * pad, extents.height + 2 * pad + pad);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_move_to(cr, pad, y - pad);
  cairo_show_text(cr, text);
  return TRUE;
}

// The driver's own settings dialog, with our window as its parent. The
// driver refuses to configure a camera in continuous mode: stop it first,
// then reopen the port (a new size takes effect at open) and restart.
void OpenSettings(Slot* s) {
  DriverExports& d = *viewer.driver;
  gtk_widget_set_sensitive(s->button, FALSE);
  d.setProperty(0, s->port, "continuous", 0);
  const bool confirmed = d.configureCamera(viewer.window, s->camera.c_str()) == 0;
  if (confirmed) {
    slotOfPort[s->port] = nullptr;
    d.closeCVLPort(0, s->port);
    try {
      OpenSlot(*s);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orvella-viewer: %s\n", e.what());
      return;
    }
  }
  d.setProperty(0, s->port, "continuous", 1);
  gtk_widget_set_sensitive(s->button, TRUE);
  std::printf("%s: settings dialog closed (%s)\n", s->camera.c_str(), confirmed ? "OK" : "cancelled");
  std::fflush(stdout);
}

// The window as the viewer draws it, into a PNG.
void TakeScreenshot() {
  GtkWidget* w = viewer.window;
  const int width = gtk_widget_get_allocated_width(w), height = gtk_widget_get_allocated_height(w);
  cairo_surface_t* shot = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(shot);
  gtk_widget_draw(w, cr);
  cairo_destroy(cr);
  const cairo_status_t status = cairo_surface_write_to_png(shot, viewer.options.screenshot.c_str());
  cairo_surface_destroy(shot);
  if (status != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "orvella-viewer: cannot write %s: %s\n", viewer.options.screenshot.c_str(),
                 cairo_status_to_string(status));
    viewer.exitCode = 1;
  } else {
    std::printf("screenshot %s (%dx%d)\n", viewer.options.screenshot.c_str(), width, height);
  }
}

// Every 100 ms: screenshot when every slot has shown enough, or give up.
gboolean Watch(gpointer) {
  const Options& o = viewer.options;
  bool enough = true;
  for (const auto& s : viewer.slots) enough = enough && s->shown >= o.frames;
  if (enough && !o.screenshot.empty() && !viewer.screenshotTaken) {
    viewer.screenshotTaken = true;
    TakeScreenshot();
    gtk_main_quit();
    return G_SOURCE_REMOVE;
  }
  if (!o.screenshot.empty() && Ms(Clock::now() - viewer.started) > o.timeoutS * 1000.0) {
    std::fprintf(stderr, "orvella-viewer: no screenshot within %d s (images shown:", o.timeoutS);
    for (const auto& s : viewer.slots) std::fprintf(stderr, " %ld", s->shown);
    std::fprintf(stderr, ")\n");
    viewer.exitCode = 1;
    gtk_main_quit();
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

GtkWidget* BuildSlotView(Slot& s) {
  GtkWidget* frame = gtk_frame_new(s.camera.c_str());
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  s.area = gtk_drawing_area_new();
  gtk_widget_set_hexpand(s.area, TRUE);
  gtk_widget_set_vexpand(s.area, TRUE);
  g_signal_connect(s.area, "draw", G_CALLBACK(Draw), &s);
  s.button = gtk_button_new_with_label("Settings…");
  g_signal_connect_swapped(s.button, "clicked", G_CALLBACK(+[](Slot* slot) { OpenSettings(slot); }), &s);
  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
  gtk_box_pack_end(GTK_BOX(buttons), s.button, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), s.area, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
  gtk_container_set_border_width(GTK_CONTAINER(box), 4);
  gtk_container_add(GTK_CONTAINER(frame), box);
  return frame;
}

// The window with a slot for each camera, two a row, on ports 1, 2, ...
void BuildWindow(const std::vector<std::string>& cameras) {
  viewer.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(viewer.window), "Orvella viewer");
  g_signal_connect(viewer.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
  gtk_container_set_border_width(GTK_CONTAINER(grid), 6);
  gtk_container_add(GTK_CONTAINER(viewer.window), grid);

  int port = 1;
  for (const std::string& camera : cameras) {
    auto s = std::make_unique<Slot>();
    s->camera = camera;
    s->port = port++;
    const int index = int(viewer.slots.size());
    gtk_grid_attach(GTK_GRID(grid), BuildSlotView(*s), index % 2, index / 2, 1, 1);
    viewer.slots.push_back(std::move(s));
  }
}

int Run(Options o) {
  std::unique_ptr<SimCamProcess> simcam;
  if (o.dir.empty()) o.dir = MakeTempDir();
  const std::string settingsPath = o.dir + kPathSeparator + "Orvella.ini";
  bool keepSettings = o.section.url.empty();
  for (const std::string& c : o.cameras) keepSettings = keepSettings && HasImageUrl(settingsPath, c);
  if (!keepSettings) {
    if (o.section.url.empty()) {
      simcam = StartSimCam(o.section.width, o.section.height, o.simcamArgs);
      o.section.url = simcam->Url();
      o.section.tlsTrust = simcam->TlsTrust();
    }
    WriteCameraSections(settingsPath, o.cameras, o.section);
  }
  std::printf("settings and log in %s\n", o.dir.c_str());
  viewer.options = o;

  DriverLibrary library(o.library);
  viewer.driver = std::make_unique<DriverExports>(library);
  DriverExports& d = *viewer.driver;
  if (!d.initialize(o.dir.c_str(), o.verbose ? PrintDriverLine : nullptr))
    throw std::runtime_error("initialize failed");
  struct Finalize {
    DriverExports& d;
    ~Finalize() { d.finalize(); }
  } finalize{d};

  BuildWindow(o.cameras);
  // Whatever happens from here on, the ports are closed before finalize.
  struct ClosePorts {
    DriverExports& d;
    ~ClosePorts() {
      for (const auto& s : viewer.slots) {
        slotOfPort[s->port] = nullptr;
        d.closeCVLPort(0, s->port);
      }
    }
  } closePorts{d};
  for (const auto& s : viewer.slots) {
    OpenSlot(*s);
    std::printf("%s on port %d: %dx%d, %d bits per pixel\n", s->camera.c_str(), s->port, s->width, s->height,
                s->channels * 8);
  }
  std::fflush(stdout);
  gtk_widget_show_all(viewer.window);
  for (const auto& s : viewer.slots) d.setProperty(0, s->port, "continuous", 1);

  viewer.started = Clock::now();
  g_timeout_add(100, Watch, nullptr);
  gtk_main();

  for (const auto& s : viewer.slots) {
    std::vector<double> l = s->latencies;
    std::sort(l.begin(), l.end());
    std::printf("%s: %ld images shown, %.1f images/s, latency (ready in the driver to on screen) median %.2f ms\n",
                s->camera.c_str(), s->shown, Rate(*s), l.empty() ? 0.0 : l[l.size() / 2]);
  }
  return viewer.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  // GTK first: it takes its own options (--display ...) out of argv.
  const bool display = gtk_init_check(&argc, &argv);
  Options o = ParseArgs(argc, argv);
  if (!display) {
    std::fprintf(stderr, "orvella-viewer: cannot open a display (DISPLAY=%s)\n",
                 std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "unset");
    return 1;
  }
  return orvella::tools::ReportFailures("orvella-viewer", [&] { return Run(std::move(o)); });
}
