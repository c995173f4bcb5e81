// The window mode with GTK 3: the pane's title as the heading, its text view as a read-only,
// scrolled, word-wrapped GtkTextView, and the installer's "Go Back" and "Continue" buttons.
#include <fcntl.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include "installer_host/installer_host.h"
#include "installer_host/installer_host_window.h"

namespace rcpinstall::installer_host {

// The host is built on the plug-in interface and the bundle services of os/.
using namespace os;

namespace {

constexpr const char* kProgram = "installer-pane-host";
constexpr int kMinimumPaneWidth = 160;  // how far the user can shrink the pane area
constexpr int kMinimumPaneHeight = 100;

// The pane's text view: a GtkTextView whose buffer holds what the pane puts in. The pane's font
// is a tag over the whole text; "system-ui" is the desktop's interface font, and a size is in
// points of the target system, one logical pixel each.
class GtkPaneTextView : public TextView {
 public:
  GtkPaneTextView() : view_(GTK_TEXT_VIEW(gtk_text_view_new())) {
    g_object_ref_sink(view_);
    gtk_text_view_set_wrap_mode(view_, GTK_WRAP_WORD_CHAR);
    gtk_text_view_set_left_margin(view_, 8);
    gtk_text_view_set_right_margin(view_, 8);
    gtk_text_view_set_top_margin(view_, 8);
    gtk_text_view_set_bottom_margin(view_, 8);
    fontTag_ = gtk_text_buffer_create_tag(buffer(), "pane-font", nullptr);
  }
  ~GtkPaneTextView() override {
    if (fontDescription_ != nullptr) pango_font_description_free(fontDescription_);
    g_object_unref(view_);
  }
  GtkPaneTextView(const GtkPaneTextView&) = delete;
  GtkPaneTextView& operator=(const GtkPaneTextView&) = delete;

  void setFont(const Font& font) override {
    if (fontDescription_ != nullptr) pango_font_description_free(fontDescription_);
    fontDescription_ = pango_font_description_new();
    pango_font_description_set_family(fontDescription_, familyOf(font.name).c_str());
    if (font.size > 0) {
      pango_font_description_set_absolute_size(fontDescription_, font.size * PANGO_SCALE);
    }
    g_object_set(fontTag_, "font-desc", fontDescription_, nullptr);
    applyFont();
  }
  void setText(const std::string& text) override {
    text_ = printable(text);  // GTK takes well-formed UTF-8 only
    gtk_text_buffer_set_text(buffer(), text_.c_str(), -1);
    applyFont();
  }
  void setEditable(bool editable) override {
    gtk_text_view_set_editable(view_, editable);
    gtk_text_view_set_cursor_visible(view_, editable);
  }

  GtkWidget* widget() const { return GTK_WIDGET(view_); }
  GtkTextView* view() const { return view_; }
  const std::string& text() const { return text_; }
  const PangoFontDescription* fontDescription() const { return fontDescription_; }

 private:
  GtkTextBuffer* buffer() const { return gtk_text_view_get_buffer(view_); }

  void applyFont() {
    if (fontDescription_ == nullptr) return;
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer(), &start, &end);
    gtk_text_buffer_apply_tag(buffer(), fontTag_, &start, &end);
  }

  static std::string familyOf(const std::string& name) {
    if (!name.empty() && name != "system-ui") return name;
    gchar* setting = nullptr;
    g_object_get(gtk_settings_get_default(), "gtk-font-name", &setting, nullptr);
    std::string family = "Sans";
    if (setting != nullptr) {
      PangoFontDescription* description = pango_font_description_from_string(setting);
      if (const char* f = pango_font_description_get_family(description)) family = f;
      pango_font_description_free(description);
      g_free(setting);
    }
    return family;
  }

  GtkTextView* view_;
  GtkTextTag* fontTag_;
  PangoFontDescription* fontDescription_ = nullptr;
  std::string text_;
};

// How the text is laid out in the view, in points: what a test needs to tell that nothing is
// cut off and that a long text scrolls.
struct TextLayout {
  int lines = 0;
  int widest = 0;  // right edge of the widest display line (trailing blanks not counted)
  int viewWidth = 0;
  int viewHeight = 0;
  int textHeight = 0;
  int unknownGlyphs = 0;  // characters drawn without a glyph of any font (empty boxes)
};

TextLayout measure(const GtkPaneTextView& pane) {
  TextLayout layout;
  GtkTextView* view = pane.view();
  GdkRectangle visible;
  gtk_text_view_get_visible_rect(view, &visible);
  layout.viewWidth = visible.width - gtk_text_view_get_right_margin(view);
  layout.viewHeight = visible.height;
  GtkAdjustment* vertical = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
  layout.textHeight = static_cast<int>(gtk_adjustment_get_upper(vertical));

  GtkTextIter line;
  gtk_text_buffer_get_start_iter(gtk_text_view_get_buffer(view), &line);
  do {
    ++layout.lines;
    GtkTextIter last = line;
    if (!gtk_text_iter_ends_line(&last)) gtk_text_view_forward_display_line_end(view, &last);
    while (gtk_text_iter_compare(&last, &line) > 0) {
      gtk_text_iter_backward_char(&last);
      if (!g_unichar_isspace(gtk_text_iter_get_char(&last))) {
        GdkRectangle where;
        gtk_text_view_get_iter_location(view, &last, &where);
        layout.widest = std::max(layout.widest, where.x + where.width);
        break;
      }
    }
  } while (gtk_text_view_forward_display_line(view, &line));

  PangoLayout* text = gtk_widget_create_pango_layout(pane.widget(), pane.text().c_str());
  if (pane.fontDescription() != nullptr) {
    pango_layout_set_font_description(text, pane.fontDescription());
  }
  pango_layout_set_width(text, std::max(layout.viewWidth, 1) * PANGO_SCALE);
  pango_layout_set_wrap(text, PANGO_WRAP_WORD_CHAR);
  layout.unknownGlyphs = pango_layout_get_unknown_glyphs_count(text);
  g_object_unref(text);
  return layout;
}

cairo_status_t writeToDescriptor(void* closure, const unsigned char* data, unsigned int length) {
  const int fd = *static_cast<int*>(closure);
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0) return CAIRO_STATUS_WRITE_ERROR;
    data += written;
    length -= static_cast<unsigned int>(written);
  }
  return CAIRO_STATUS_SUCCESS;
}

class PaneWindow {
 public:
  PaneWindow(const WindowOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}

  int run() {
    std::optional<LoadedPane> loaded = loadPane(options_.bundle, options_.languages, &text_, err_);
    if (!loaded) return 1;
    pane_ = loaded->pane.get();
    build();
    enter();
    gtk_widget_show_all(window_);
    pane_->didEnterPane(Direction::Forward);
    gtk_main();
    if (window_ != nullptr) gtk_widget_destroy(window_);
    pane_ = nullptr;
    loaded->pane.reset();
    return status_;
  }

 private:
  void build() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);

    GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(page), 20);
    gtk_container_add(GTK_CONTAINER(window_), page);

    heading_ = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(heading_), 0);
    gtk_label_set_line_wrap(GTK_LABEL(heading_), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(heading_), PANGO_WRAP_WORD_CHAR);
    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
    pango_attr_list_insert(attributes, pango_attr_scale_new(1.3));
    gtk_label_set_attributes(GTK_LABEL(heading_), attributes);
    pango_attr_list_unref(attributes);
    gtk_box_pack_start(GTK_BOX(page), heading_, FALSE, FALSE, 0);

    // The pane area: only vertical scrolling, so the text wraps at the view's width.
    scrolled_ = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled_), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled_), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scrolled_), text_.widget());
    gtk_box_pack_start(GTK_BOX(page), scrolled_, TRUE, TRUE, 0);

    notice_ = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(notice_), 0);
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_pack_start(GTK_BOX(buttons), notice_, TRUE, TRUE, 0);
    GtkWidget* back = gtk_button_new_with_label("Go Back");
    continue_ = gtk_button_new_with_label("Continue");
    gtk_style_context_add_class(gtk_widget_get_style_context(continue_), "suggested-action");
    gtk_box_pack_start(GTK_BOX(buttons), back, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons), continue_, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(page), buttons, FALSE, FALSE, 0);
    g_signal_connect(back, "clicked", G_CALLBACK(onBack), this);
    g_signal_connect(continue_, "clicked", G_CALLBACK(onContinue), this);
    gtk_widget_set_can_default(continue_, TRUE);
    gtk_window_set_default(GTK_WINDOW(window_), continue_);

    // The window opens with a pane area of the asked size; then the request is dropped so
    // that the user can make it smaller as well as larger.
    gtk_widget_set_size_request(scrolled_, options_.width, options_.height);
    gtk_widget_show_all(page);
    GtkRequisition natural;
    gtk_widget_get_preferred_size(window_, nullptr, &natural);
    gtk_widget_set_size_request(scrolled_, kMinimumPaneWidth, kMinimumPaneHeight);
    gtk_window_set_default_size(GTK_WINDOW(window_), natural.width, natural.height);

    if (options_.screenshot) {
      g_signal_connect_after(window_, "draw", G_CALLBACK(onDraw), this);
      g_timeout_add_seconds(60, onNeverDrawn, this);
    }
  }

  void enter() {
    pane_->willEnterPane(Direction::Forward);
    const std::string title = printable(pane_->title());
    gtk_label_set_text(GTK_LABEL(heading_), title.c_str());
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
    gtk_label_set_text(GTK_LABEL(notice_), "");
  }

  // Leaves the pane in the direction when it lets the user go (the terminal host's order).
  bool leave(Direction direction) {
    if (!pane_->shouldExitPane(direction)) {
      gtk_label_set_text(GTK_LABEL(notice_), "This pane cannot be left yet.");
      gtk_widget_error_bell(window_);
      return false;
    }
    pane_->willExitPane(direction);
    pane_->didExitPane(direction);
    return true;
  }

  static void onBack(GtkButton*, gpointer self) {
    auto* window = static_cast<PaneWindow*>(self);
    // Going back leaves the pane; coming forward from the pane before enters it again.
    if (window->leave(Direction::Backward)) {
      window->enter();
      window->pane_->didEnterPane(Direction::Forward);
    }
  }

  static void onContinue(GtkButton*, gpointer self) {
    auto* window = static_cast<PaneWindow*>(self);
    if (window->leave(Direction::Forward)) {
      window->finish(0);
    } else if (window->options_.screenshot) {
      window->err_ << kProgram << ": the pane does not let the user continue\n";
      window->finish(1);
    }
  }

  // Closing the window quits the installer on this pane: the pane is not left. So does a
  // window destroyed from outside (by the X server's clients), rather than leaving the host
  // running without one.
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<PaneWindow*>(self)->closed();
    return TRUE;
  }
  static void onDestroy(GtkWidget*, gpointer self) {
    auto* window = static_cast<PaneWindow*>(self);
    window->window_ = nullptr;
    window->closed();
  }
  void closed() {
    if (options_.screenshot && !finished_) {
      err_ << kProgram << ": the window was closed before its screenshot was taken\n";
      finish(1);
    }
    finish(status_);
  }

  static gboolean onDraw(GtkWidget*, cairo_t*, gpointer self) {
    auto* window = static_cast<PaneWindow*>(self);
    if (!window->drawn_) {
      window->drawn_ = true;
      g_timeout_add(200, onDrawnStep, self);  // lets the text view finish its layout
    }
    return FALSE;
  }

  static gboolean onDrawnStep(gpointer self) {
    auto* window = static_cast<PaneWindow*>(self);
    if (window->finished_) return G_SOURCE_REMOVE;
    if (window->options_.scrollToEnd && !window->scrolled_to_end_) {
      window->scrolled_to_end_ = true;
      GtkTextBuffer* buffer = gtk_text_view_get_buffer(window->text_.view());
      GtkTextIter end;
      gtk_text_buffer_get_end_iter(buffer, &end);
      GtkTextMark* mark = gtk_text_buffer_create_mark(buffer, nullptr, &end, FALSE);
      gtk_text_view_scroll_to_mark(window->text_.view(), mark, 0.0, TRUE, 0.0, 1.0);
    }
    // The text view scrolls once it has laid out the text down to the mark; wait for that (up
    // to five seconds on a busy machine).
    GtkAdjustment* vertical = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(window->text_.view()));
    if (window->options_.scrollToEnd && ++window->waits_ < 50 &&
        gtk_adjustment_get_value(vertical) + gtk_adjustment_get_page_size(vertical) <
            gtk_adjustment_get_upper(vertical) - 1) {
      g_timeout_add(100, onDrawnStep, self);
      return G_SOURCE_REMOVE;
    }
    if (!window->writeScreenshot()) {
      window->finish(1);
    } else {
      gtk_button_clicked(GTK_BUTTON(window->continue_));
    }
    return G_SOURCE_REMOVE;
  }

  static gboolean onNeverDrawn(gpointer self) {
    auto* window = static_cast<PaneWindow*>(self);
    if (!window->drawn_) {
      window->err_ << kProgram << ": the window was not drawn within a minute; no screenshot\n";
      window->finish(1);
    }
    return G_SOURCE_REMOVE;
  }

  // The window as drawn, at its scale factor, into the PNG file (not through a link).
  bool writeScreenshot() {
    const std::string& path = *options_.screenshot;
    const int scale = gtk_widget_get_scale_factor(window_);
    const int width = gtk_widget_get_allocated_width(window_);
    const int height = gtk_widget_get_allocated_height(window_);
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, width * scale, height * scale);
    cairo_surface_set_device_scale(surface, scale, scale);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    gtk_widget_draw(window_, cr);
    cairo_destroy(cr);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    cairo_status_t status = CAIRO_STATUS_WRITE_ERROR;
    if (fd >= 0) {
      status = cairo_surface_write_to_png_stream(surface, writeToDescriptor, &fd);
      if (::close(fd) != 0 && status == CAIRO_STATUS_SUCCESS) status = CAIRO_STATUS_WRITE_ERROR;
    }
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
      err_ << kProgram << ": cannot write the screenshot " << path << ": "
           << (fd < 0 ? g_strerror(errno) : cairo_status_to_string(status)) << "\n";
      return false;
    }
    const TextLayout layout = measure(text_);
    out_ << path << ": " << width * scale << "x" << height * scale << " pixels at scale " << scale
         << "; the text: " << layout.lines << " lines in a " << layout.viewWidth << "x"
         << layout.viewHeight << " view, widest line " << layout.widest << ", height "
         << layout.textHeight << (layout.textHeight > layout.viewHeight ? " (scrolls)" : " (fits)")
         << ", " << layout.unknownGlyphs << " characters without a glyph\n";
    out_.flush();
    return true;
  }

  void finish(int status) {
    status_ = status;
    if (!finished_) {
      finished_ = true;
      gtk_main_quit();
    }
  }

  const WindowOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  GtkPaneTextView text_;
  InstallerPane* pane_ = nullptr;
  GtkWidget* window_ = nullptr;
  GtkWidget* heading_ = nullptr;
  GtkWidget* scrolled_ = nullptr;
  GtkWidget* notice_ = nullptr;
  GtkWidget* continue_ = nullptr;
  bool drawn_ = false;
  bool scrolled_to_end_ = false;
  int waits_ = 0;
  bool finished_ = false;
  int status_ = 0;
};

}  // namespace

int runInstallerPaneWindow(const std::vector<std::string>& args, std::ostream& out,
                           std::ostream& err) {
  const std::optional<WindowOptions> options = parseWindowOptions(args, err);
  if (!options) return 2;
  int argc = 0;
  char** argv = nullptr;
  if (!gtk_init_check(&argc, &argv)) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0')) {
      err << kProgram << ": --window needs a display, and none is set (DISPLAY is empty)\n";
    } else {
      err << kProgram << ": --window cannot open the display "
          << (display != nullptr && *display != '\0' ? display : wayland) << "\n";
    }
    return 1;
  }
  PaneWindow window(*options, out, err);
  return window.run();
}

}  // namespace rcpinstall::installer_host
