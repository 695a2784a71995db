// The camera settings dialog on Linux: a GTK 3 dialog with the controls,
// captions and tab order of dialog template 1000, driven by CameraPropModel.
//
// Built as a module of its own (liborvella-dialog.so) that the driver loads
// on first use, so a headless host never needs GTK. Only the plain C structs
// of CameraPropData.h cross between the driver and this module.
//
// Thread safety: GTK is single-threaded. The driver serialises its calls; the
// calling thread must be the host's GTK thread when the host runs GTK, and
// GTK is initialised on the calling thread when nobody has done so yet.
#include <gtk/gtk.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>

#include "config/CameraPropData.h"
#include "config/CameraPropModel.h"
#include "driver/NoCopy.h"

namespace orvella {

namespace {

// GLib strings freed on scope exit.
class GText {
 public:
  explicit GText(gchar* text) : text(text) {}
  ~GText() { g_free(text); }
  ORVELLA_NO_COPY(GText);
  const gchar* get() const { return text; }

 private:
  gchar* text;
};

bool ownGtk = false;  // GTK was started here, not by the host

void SetError(OrvellaDialogCall* call, const char* text) {
  std::snprintf(call->error, sizeof call->error, "%s", text);
}

// GTK on the calling thread: the host's if it runs GTK, else started here.
bool EnsureGtk(OrvellaDialogCall* call) {
  if (gdk_display_get_default()) return true;
  // A library must not change the host's C locale (number formats, ...).
  gtk_disable_setlocale();
  if (!gtk_init_check(nullptr, nullptr)) {
    const char* display = g_getenv("DISPLAY");
    char text[200];
    std::snprintf(text, sizeof text, "cannot open a display for the settings dialog (DISPLAY=%s)",
                  display ? display : "unset");
    SetError(call, text);
    return false;
  }
  ownGtk = true;
  return true;
}

// The host's window as owner when it is one of this process's GTK windows.
// Found by address in GTK's list, so a pointer of any other kind is never
// dereferenced.
GtkWindow* ParentWindow(void* parentWindow) {
  if (!parentWindow) return nullptr;
  GList* all = gtk_window_list_toplevels();
  bool known = g_list_find(all, parentWindow) != nullptr;
  g_list_free(all);
  return known ? GTK_WINDOW(parentWindow) : nullptr;
}

// Let a closed window vanish when no host loop will do it.
void FlushEvents() {
  if (!ownGtk) return;
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

bool CheckCall(OrvellaDialogCall* call) {
  return call && call->structSize == sizeof(OrvellaDialogCall);
}

// A control's id is its widget name, so tests can find it as on Windows.
void Name(GtkWidget* widget, int id) {
  gtk_widget_set_name(widget, std::to_string(id).c_str());
}

class GtkCameraPropDialog final : public CameraPropView {
 public:
  explicit GtkCameraPropDialog(OrvellaCameraPropData* data) : model(data, this) {}
  ORVELLA_NO_COPY(GtkCameraPropDialog);
  ~GtkCameraPropDialog() {
    if (dialog) gtk_widget_destroy(dialog);
  }

  int Run(const char* title, GtkWindow* parent) {
    Build(parent);
    // As InitDialog: fill the controls, title, status bar (built above), one OnChange.
    model.ExchangeData(false);
    GText validTitle(g_utf8_make_valid(title ? title : "", -1));
    gtk_window_set_title(GTK_WINDOW(dialog), validTitle.get());
    model.OnChange();
    if (failure) std::rethrow_exception(failure);
    gtk_widget_grab_focus(controls[IDC_IMAGE_URL]);
    gtk_widget_grab_default(ok);

    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    dialog = nullptr;
    FlushEvents();
    if (failure) std::rethrow_exception(failure);
    return response == GTK_RESPONSE_OK ? 1 : 2;
  }

  std::string GetText(int id) override {
    const gchar* text = gtk_entry_get_text(GTK_ENTRY(controls.at(id)));
    return text ? text : "";
  }
  void SetText(int id, const char* text) override {
    GtkWidget* widget = controls.at(id);
    GText valid(g_utf8_make_valid(text, -1));  // GTK refuses text that is not UTF-8
    if (GTK_IS_ENTRY(widget))
      gtk_entry_set_text(GTK_ENTRY(widget), valid.get());
    else
      gtk_label_set_text(GTK_LABEL(widget), valid.get());
  }
  bool IsChecked(int id) override { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(controls.at(id))); }
  void SetChecked(int id, bool checked) override {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(controls.at(id)), checked);
  }
  void EnableOk(bool enabled) override { gtk_widget_set_sensitive(ok, enabled); }
  void SetStatus(const char* text) override {
    GtkStatusbar* bar = GTK_STATUSBAR(statusBar);
    gtk_statusbar_remove_all(bar, statusContext);
    if (*text) {
      GText valid(g_utf8_make_valid(text, -1));
      gtk_statusbar_push(bar, statusContext, valid.get());
    }
  }

 private:
  GtkWidget* Entry(int id, int widthChars) {
    GtkWidget* entry = gtk_entry_new();
    Name(entry, id);
    gtk_entry_set_width_chars(GTK_ENTRY(entry), widthChars);
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_widget_set_halign(entry, GTK_ALIGN_START);
    g_object_set_data(G_OBJECT(entry), "orvella-id", GINT_TO_POINTER(id));
    g_signal_connect(entry, "changed", G_CALLBACK(&OnEntryChanged), this);
    controls[id] = entry;
    return entry;
  }
  GtkWidget* RangeLabel(int id) {
    GtkWidget* label = gtk_label_new("Static");
    Name(label, id);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_width_chars(GTK_LABEL(label), 16);
    controls[id] = label;
    return label;
  }
  GtkWidget* CheckBox(int id, const char* caption) {
    GtkWidget* box = gtk_check_button_new_with_label(caption);
    Name(box, id);
    controls[id] = box;
    return box;
  }
  // Same caption column width in every group, as in the template.
  GtkWidget* Caption(const char* text) {
    GtkWidget* label = gtk_label_new(text);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_size_group_add_widget(captions, label);
    return label;
  }
  static GtkWidget* Group(const char* caption, GtkWidget** grid) {
    GtkWidget* frame = gtk_frame_new(caption);
    *grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(*grid), 4);
    gtk_grid_set_column_spacing(GTK_GRID(*grid), 8);
    gtk_container_set_border_width(GTK_CONTAINER(*grid), 6);
    gtk_container_add(GTK_CONTAINER(frame), *grid);
    return frame;
  }

  // One row of a group: caption, a number entry and, where the template has
  // one, the label showing its range (rangeId < 0: none).
  void NumberRow(GtkWidget* grid, int row, const char* caption, int id, int rangeId) {
    gtk_grid_attach(GTK_GRID(grid), Caption(caption), 0, row, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), Entry(id, 6), 1, row, 1, 1);
    if (rangeId >= 0) gtk_grid_attach(GTK_GRID(grid), RangeLabel(rangeId), 2, row, 1, 1);
  }

  GtkWidget* SourceGroup() {
    GtkWidget* grid;
    GtkWidget* source = Group("Source", &grid);
    gtk_grid_attach(GTK_GRID(grid), Caption("URL"), 0, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), Entry(IDC_IMAGE_URL, 32), 1, 0, 2, 1);
    gtk_widget_set_halign(controls[IDC_IMAGE_URL], GTK_ALIGN_FILL);
    // Characters, and a UTF-8 character takes up to four bytes of the copy.
    gtk_entry_set_max_length(GTK_ENTRY(controls[IDC_IMAGE_URL]), ORVELLA_URL_MAX_LENGTH / 4);
    NumberRow(grid, 1, "Refresh Rate Unit", IDC_REFRESH_RATE_UNIT, IDC_REFRESH_RATE_UNIT_RANGE);
    NumberRow(grid, 2, "Refresh Rate", IDC_REFRESH_RATE, IDC_REFRESH_RATE_RANGE);
    return source;
  }
  GtkWidget* ImageGroup() {
    GtkWidget* grid;
    GtkWidget* image = Group("Image", &grid);
    NumberRow(grid, 0, "Width", IDC_WIDTH, -1);
    NumberRow(grid, 1, "Height", IDC_HEIGHT, -1);
    gtk_grid_attach(GTK_GRID(grid), CheckBox(IDC_GRAYSCALE, "Grayscale"), 0, 2, 2, 1);
    return image;
  }
  GtkWidget* MiscGroup() {
    GtkWidget* grid;
    GtkWidget* misc = Group("Misc", &grid);
    NumberRow(grid, 0, "Log Level", IDC_LOG_LEVEL, IDC_LOG_LEVEL_RANGE);
    gtk_grid_attach(GTK_GRID(grid), CheckBox(IDC_LOG_INTO_FILE, "Also log in to file"), 0, 1, 3, 1);
    return misc;
  }
  GtkWidget* Buttons() {
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    ok = gtk_button_new_with_label("OK");
    Name(ok, 1);
    gtk_widget_set_can_default(ok, TRUE);
    g_signal_connect(ok, "clicked", G_CALLBACK(&OnOkClicked), this);
    GtkWidget* cancel = gtk_button_new_with_label("Cancel");
    Name(cancel, 2);
    g_signal_connect(cancel, "clicked", G_CALLBACK(&OnCancelClicked), this);
    gtk_box_pack_start(GTK_BOX(buttons), ok, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons), cancel, FALSE, FALSE, 0);
    return buttons;
  }

  // The three groups on the left, OK and Cancel at the top right, the status
  // bar along the bottom. Focus moves through them in template order.
  void Build(GtkWindow* parent) {
    dialog = gtk_dialog_new();
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    if (parent) gtk_window_set_transient_for(GTK_WINDOW(dialog), parent);
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));

    captions = gtk_size_group_new(GTK_SIZE_GROUP_HORIZONTAL);
    GtkWidget* left = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_box_pack_start(GTK_BOX(left), SourceGroup(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(left), ImageGroup(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(left), MiscGroup(), FALSE, FALSE, 0);

    GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_container_set_border_width(GTK_CONTAINER(top), 4);
    gtk_box_pack_start(GTK_BOX(top), left, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(top), Buttons(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(content), top, TRUE, TRUE, 0);

    statusBar = gtk_statusbar_new();
    gtk_widget_set_name(statusBar, "statusbar");
    statusContext = gtk_statusbar_get_context_id(GTK_STATUSBAR(statusBar), "check");
    gtk_box_pack_end(GTK_BOX(content), statusBar, FALSE, FALSE, 0);
    gtk_widget_show_all(content);
    g_object_unref(captions);  // the labels keep it alive
    captions = nullptr;
  }

  // Nothing may unwind through GTK's C frames: keep the failure for Run.
  template <typename F>
  void Guarded(F&& f) {
    try {
      f();
    } catch (...) {
      failure = std::current_exception();
      gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    }
  }
  static void OnEntryChanged(GtkEditable* entry, gpointer self) {
    auto* d = static_cast<GtkCameraPropDialog*>(self);
    int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(entry), "orvella-id"));
    d->Guarded([&] { d->model.OnControlChanged(id); });
  }
  static void OnOkClicked(GtkButton*, gpointer self) {
    auto* d = static_cast<GtkCameraPropDialog*>(self);
    d->Guarded([&] {
      if (d->model.OnOk()) gtk_dialog_response(GTK_DIALOG(d->dialog), GTK_RESPONSE_OK);
    });
  }
  static void OnCancelClicked(GtkButton*, gpointer self) {
    auto* d = static_cast<GtkCameraPropDialog*>(self);
    gtk_dialog_response(GTK_DIALOG(d->dialog), GTK_RESPONSE_CANCEL);
  }

  CameraPropModel model;
  GtkWidget* dialog = nullptr;
  GtkWidget* ok = nullptr;
  GtkWidget* statusBar = nullptr;
  guint statusContext = 0;
  GtkSizeGroup* captions = nullptr;  // only while building
  std::map<int, GtkWidget*> controls;
  std::exception_ptr failure;
};

}  // namespace

}  // namespace orvella

extern "C" __attribute__((visibility("default"))) int orvellaRunCameraDialog(OrvellaDialogCall* call) {
  using namespace orvella;
  if (!CheckCall(call) || !call->data) return -2;
  try {
    if (!EnsureGtk(call)) return -1;
    GtkCameraPropDialog dialog(call->data);
    return dialog.Run(call->title, ParentWindow(call->parentWindow));
  } catch (const std::exception& e) {
    SetError(call, e.what());
  } catch (...) {
    SetError(call, "unknown failure in the settings dialog");
  }
  return -1;
}

extern "C" __attribute__((visibility("default"))) int orvellaShowMessage(OrvellaDialogCall* call) {
  using namespace orvella;
  if (!CheckCall(call)) return -2;
  if (!EnsureGtk(call)) return -1;
  GtkWidget* box = gtk_message_dialog_new(ParentWindow(call->parentWindow), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                          GTK_BUTTONS_OK, "%s", call->message ? call->message : "");
  GText caption(g_utf8_make_valid(call->title ? call->title : "", -1));
  gtk_window_set_title(GTK_WINDOW(box), caption.get());
  gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  FlushEvents();
  return 1;
}
