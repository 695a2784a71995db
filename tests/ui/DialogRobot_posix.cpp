// The robot with GTK: the dialog's loop runs on the test thread, so every
// step is queued there as an idle call and waited for (GTK is single-threaded).
#include <gtk/gtk.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "ui/DialogRobot.h"

namespace orvella::test {

struct DialogRobot::Platform {
  GtkWidget* window = nullptr;  // only touched inside GTK's loop
};

DialogRobot::DialogRobot(Script script) : platform(std::make_unique<Platform>()) {
  thread = std::thread([this, script] { Run(script); });
}

DialogRobot::~DialogRobot() {
  thread.join();
}

namespace {

// One step handed to the GTK loop. It runs under `lock`, so a robot that
// gives up waiting either cancels it before it starts or waits for its end:
// a step never touches the robot's stack after the robot has moved on.
struct Step {
  std::function<void()> work;
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool cancelled = false;
  std::string error;
};

// Taken around the hand-over through g_idle_add: GLib's own locks are
// invisible to ThreadSanitizer, this one shows it that the step was made
// before the loop runs it.
std::mutex& HandOver() {
  static std::mutex lock;
  return lock;
}

gboolean RunStep(gpointer data) {
  { std::lock_guard<std::mutex> seen(HandOver()); }
  std::unique_ptr<std::shared_ptr<Step>> holder(static_cast<std::shared_ptr<Step>*>(data));
  Step& step = **holder;
  {
    std::lock_guard<std::mutex> guard(step.lock);
    if (step.cancelled) return G_SOURCE_REMOVE;
    try {
      step.work();
    } catch (const std::exception& e) {
      step.error = e.what();
    }
    step.finished = true;
  }
  step.done.notify_all();
  return G_SOURCE_REMOVE;
}

// Runs `work` in the GTK loop; false when no loop took it within `limit`.
bool OnGtk(std::function<void()> work, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto step = std::make_shared<Step>();
  step->work = std::move(work);
  {
    std::lock_guard<std::mutex> handing(HandOver());
    g_idle_add(&RunStep, new std::shared_ptr<Step>(step));
  }
  std::unique_lock<std::mutex> guard(step->lock);
  if (!step->done.wait_for(guard, limit, [&] { return step->finished; })) {
    step->cancelled = true;
    return false;
  }
  if (!step->error.empty()) throw std::runtime_error(step->error);
  return true;
}

void MustRun(std::function<void()> work) {
  if (!OnGtk(std::move(work))) throw std::runtime_error("the dialog's loop is not running");
}

struct Search {
  const char* name;
  GtkWidget* found;
};

void FindNamed(GtkWidget* widget, gpointer data) {
  auto* search = static_cast<Search*>(data);
  if (search->found) return;
  if (g_strcmp0(gtk_widget_get_name(widget), search->name) == 0) {
    search->found = widget;
    return;
  }
  if (GTK_IS_CONTAINER(widget)) gtk_container_forall(GTK_CONTAINER(widget), &FindNamed, data);
}

GtkWidget* Named(GtkWidget* window, const char* name) {
  Search search{name, nullptr};
  FindNamed(window, &search);
  if (!search.found) throw std::runtime_error(std::string("no widget ") + name);
  return search.found;
}

GtkWidget* Control(GtkWidget* window, int id) {
  std::string name = std::to_string(id);
  Search search{name.c_str(), nullptr};
  FindNamed(window, &search);
  if (!search.found && id == 1 && GTK_IS_DIALOG(window))  // a message box's OK
    search.found = gtk_dialog_get_widget_for_response(GTK_DIALOG(window), GTK_RESPONSE_OK);
  if (!search.found) throw std::runtime_error("no control " + name);
  return search.found;
}

bool IsToplevel(GtkWidget* window) {
  GList* all = gtk_window_list_toplevels();
  bool found = g_list_find(all, window) != nullptr;
  g_list_free(all);
  return found;
}

}  // namespace

bool DialogRobot::WaitForWindow(const std::string& title) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    GtkWidget* found = nullptr;
    OnGtk(
        [&] {
          GList* all = gtk_window_list_toplevels();
          for (GList* w = all; w; w = w->next) {
            GtkWidget* widget = GTK_WIDGET(w->data);
            if (gtk_widget_get_mapped(widget) &&
                g_strcmp0(gtk_window_get_title(GTK_WINDOW(w->data)), title.c_str()) == 0)
              found = widget;
          }
          g_list_free(all);
        },
        std::chrono::milliseconds(500));
    if (found) {
      platform->window = found;
      // Without a window manager nothing activates it, and an inactive
      // window's containers do not pass the focus on.
      MustRun([&] { gtk_window_present(GTK_WINDOW(found)); });
      for (int i = 0; i < 100; ++i) {
        bool active = false;
        MustRun([&] { active = gtk_window_is_active(GTK_WINDOW(found)); });
        if (active) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool DialogRobot::IsOpen() {
  if (!platform->window) return false;
  bool open = false;
  // No loop running means the dialog has returned.
  OnGtk([&] { open = IsToplevel(platform->window) && gtk_widget_get_mapped(platform->window); },
        std::chrono::milliseconds(500));
  return open;
}

bool DialogRobot::WaitUntilClosed(std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (IsOpen())
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

std::string DialogRobot::Text(int id) {
  std::string text;
  MustRun([&] {
    GtkWidget* w = Control(platform->window, id);
    text = GTK_IS_ENTRY(w) ? gtk_entry_get_text(GTK_ENTRY(w)) : gtk_label_get_text(GTK_LABEL(w));
  });
  return text;
}

void DialogRobot::Type(int id, const std::string& text) {
  MustRun([&] { gtk_entry_set_text(GTK_ENTRY(Control(platform->window, id)), text.c_str()); });
}

bool DialogRobot::IsChecked(int id) {
  bool checked = false;
  MustRun([&] { checked = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(Control(platform->window, id))); });
  return checked;
}

void DialogRobot::Tick(int id) {
  MustRun([&] { gtk_button_clicked(GTK_BUTTON(Control(platform->window, id))); });
}

bool DialogRobot::IsEnabled(int id) {
  bool enabled = false;
  MustRun([&] { enabled = gtk_widget_get_sensitive(Control(platform->window, id)); });
  return enabled;
}

std::string DialogRobot::StatusText() {
  std::string text;
  MustRun([&] {
    GtkWidget* bar = Named(platform->window, "statusbar");
    GList* children = gtk_container_get_children(GTK_CONTAINER(gtk_statusbar_get_message_area(GTK_STATUSBAR(bar))));
    if (children && GTK_IS_LABEL(children->data)) text = gtk_label_get_text(GTK_LABEL(children->data));
    g_list_free(children);
  });
  return text;
}

void DialogRobot::Press(int id) {
  MustRun([&] { gtk_button_clicked(GTK_BUTTON(Control(platform->window, id))); });
}

void DialogRobot::PressEscape() {
  // What the Escape key does in a dialog: its key binding.
  MustRun([&] { gtk_bindings_activate(G_OBJECT(platform->window), GDK_KEY_Escape, GdkModifierType(0)); });
}

void DialogRobot::CloseBox() {
  MustRun([&] { gtk_window_close(GTK_WINDOW(platform->window)); });
}

std::string DialogRobot::MessageText() {
  std::string text;
  MustRun([&] {
    gchar* value = nullptr;
    g_object_get(platform->window, "text", &value, nullptr);
    text = value ? value : "";
    g_free(value);
  });
  return text;
}

std::vector<int> DialogRobot::TabOrder(int first, int count) {
  std::vector<int> ids;
  MustRun([&] {
    gtk_widget_grab_focus(Control(platform->window, first));
    for (int i = 0; i < count; ++i) {
      gtk_widget_child_focus(platform->window, GTK_DIR_TAB_FORWARD);
      GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(platform->window));
      ids.push_back(focus ? std::atoi(gtk_widget_get_name(focus)) : -1);
    }
  });
  return ids;
}

void* DialogRobot::Owner() {
  void* owner = nullptr;
  MustRun([&] { owner = gtk_window_get_transient_for(GTK_WINDOW(platform->window)); });
  return owner;
}

bool DialogRobot::SaveScreenshot(const std::string& path) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it paint
  bool saved = false;
  MustRun([&] {
    GdkWindow* window = gtk_widget_get_window(platform->window);
    GdkPixbuf* shot =
        gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window), gdk_window_get_height(window));
    if (!shot) return;
    saved = gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(shot);
  });
  return saved;
}

OwnerWindow::OwnerWindow() : window(nullptr) {
  if (!gtk_init_check(nullptr, nullptr)) return;
  GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(w), "Host window");
  gtk_widget_show(w);
  window = w;
}

OwnerWindow::~OwnerWindow() {
  if (window) gtk_widget_destroy(GTK_WIDGET(window));
}

}  // namespace orvella::test
