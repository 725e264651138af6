// The FLTK backend: widgets for the controls, the message boxes, and the
// choice of the backend.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Editor.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/toolkit/Forms.h"
#include "platform/toolkit/fltk/Fltk.h"
#include "platform/toolkit/fltk/FltkWait.h"

namespace platform {

namespace {

// ---------------------------------------------------------------------------
// Fonts and colours.

// Xft does not fall back to another font glyph by glyph, so every text is
// drawn with a font that has Latin and Traditional Chinese glyphs. FLTK keeps
// the name pointers: they must stay alive (literals do).
void SetUpFonts() {
  Fl::set_font(FL_HELVETICA, "Noto Sans CJK TC");
  Fl::set_font(FL_HELVETICA_BOLD, "BNoto Sans CJK TC");
  Fl::set_font(FL_HELVETICA_ITALIC, "INoto Sans CJK TC");
  Fl::set_font(FL_HELVETICA_BOLD_ITALIC, "PNoto Sans CJK TC");
}

Fl_Font FontOf(const TFont& font) {
  int face = FL_HELVETICA;
  if ((font.Style() & fsBold) != 0) face |= FL_BOLD;
  if ((font.Style() & fsItalic) != 0) face |= FL_ITALIC;
  return face;
}

// One pixel above the character height: the CJK face's glyphs are drawn on
// a larger em than the fonts the sizes were chosen for.
Fl_Fontsize SizeOf(const TFont& font) {
  return std::max(8, font.PixelHeight() + 1);
}

Fl_Color RgbColor(TColor color) {
  const std::uint32_t rgb = ColorToRgb(color);
  return fl_rgb_color(static_cast<uchar>(rgb >> 16), static_cast<uchar>(rgb >> 8),
                      static_cast<uchar>(rgb));
}

Fl_Color TextColor(TColor color) {
  return color == clWindowText ? FL_FOREGROUND_COLOR : RgbColor(color);
}

Fl_Color FaceColor(TColor color) {
  if (color == clBtnFace) return FL_BACKGROUND_COLOR;
  if (color == clWindow) return FL_BACKGROUND2_COLOR;
  return RgbColor(color);
}

// FLTK draws a label aligned left or right this many pixels in from each
// side of its widget (for widgets wider than 11 pixels).
constexpr int kLabelInset = 3;

// FLTK draws "@..." as a symbol; "@@" is a plain '@'.
std::string LabelText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '@') out += '@';
  }
  return out;
}

// Lines broken at CR LF or a lone CR (the system's line breaks) become
// FLTK's LF.
std::string DisplayLines(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Widget events are posted to the loop: the controls' handlers run from the
// message loop, not from inside FLTK's wait.

constexpr UINT kRunAction = WM_USER + 0x3F0;

std::deque<std::function<void()>>& PendingActions() {
  static std::deque<std::function<void()>> actions;
  return actions;
}

void PostAction(const std::weak_ptr<int>& alive, std::function<void()> action) {
  static HWND window = 0;
  if (window == 0 || !IsWindow(window)) {
    PendingActions().clear();
    window = AllocateHWnd([](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
      if (msg != kRunAction || PendingActions().empty()) return 0;
      std::function<void()> next = std::move(PendingActions().front());
      PendingActions().pop_front();
      next();
      return 0;
    });
  }
  PendingActions().push_back([alive, action = std::move(action)] {
    if (!alive.expired()) action();
  });
  PostMessage(window, kRunAction, 0, 0);
}

// ---------------------------------------------------------------------------
// Peers.

class TWidgetPeer : public TControlPeer {
 public:
  TWidgetPeer(TControl& control, Fl_Widget* widget) : control_(control), widget_(widget) {
    if (auto* parent = ParentGroup(control)) {
      parent->add(widget_);
      PlaceInTabOrder(parent);
    }
  }
  ~TWidgetPeer() override {
    if (Fl_Group* parent = widget_->parent()) parent->remove(widget_);
    delete widget_;
  }

  Fl_Widget* Widget() const { return widget_; }
  virtual Fl_Group* Group() const { return nullptr; }
  // The window row of the baseline of the one line of text the widget draws
  // centred, for the labels beside it; none for other widgets.
  virtual std::optional<int> TextBaseline() const { return std::nullopt; }

  void Update() override {
    // Coordinates are the window's: add the parents' places below the form.
    int x = control_.Left();
    int y = control_.Top();
    for (TWinControl* p = control_.Parent(); p != nullptr && p->Parent() != nullptr;
         p = p->Parent()) {
      x += p->Left();
      y += p->Top();
    }
    widget_->resize(x, y, control_.Width(), control_.Height());
    widget_->labelfont(FontOf(control_.Font()));
    widget_->labelsize(SizeOf(control_.Font()));
    widget_->labelcolor(TextColor(control_.Font().Color()));
    // A hint shows when the control, or a control it sits on, asks for it.
    bool showHint = false;
    for (const TControl* c = &control_; c != nullptr && !showHint; c = c->Parent())
      showHint = c->ShowHint();
    if (control_.Hint().empty() || !showHint) {
      widget_->tooltip(nullptr);
    } else {
      widget_->copy_tooltip(control_.Hint().c_str());
    }
    if (control_.Enabled()) {
      widget_->activate();
    } else {
      widget_->deactivate();
    }
    UpdateWidget();
    if (control_.Visible()) {
      widget_->show();
    } else {
      widget_->hide();
    }
    widget_->redraw();
    if (widget_->parent() != nullptr) widget_->parent()->redraw();
  }

  // FLTK moves the focus through a group's children in their order, and the
  // first child that takes it has it when the window is shown. Widgets are
  // made in reading order, so each windowed control's widget goes in front
  // of the widget of the first control that follows it in the tab order.
  void PlaceInTabOrder(Fl_Group* parent) {
    auto* self = dynamic_cast<TWinControl*>(&control_);
    if (self == nullptr) return;
    const std::vector<TWinControl*> order = control_.Parent()->TabList();
    auto it = std::find(order.begin(), order.end(), self);
    if (it == order.end()) return;
    for (++it; it != order.end(); ++it) {
      auto* next = dynamic_cast<TWidgetPeer*>((*it)->Peer());
      if (next == nullptr || next->widget_->parent() != parent) continue;
      parent->insert(*widget_, parent->find(next->widget_));
      return;
    }
  }

  static Fl_Group* ParentGroup(TControl& control) {
    if (control.Parent() == nullptr) return nullptr;
    auto* peer = dynamic_cast<TWidgetPeer*>(control.Parent()->Peer());
    return peer != nullptr ? peer->Group() : nullptr;
  }

 protected:
  virtual void UpdateWidget() {}

  // Runs action on the control from the message loop, unless the widget
  // has gone by then.
  void Post(std::function<void()> action) { PostAction(alive_, std::move(action)); }

  TControl& control_;
  Fl_Widget* widget_;
  std::string label_;

 private:
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// The pixmap of a picture (XPM lines); FLTK reads the lines in place, so the
// peer keeps them.
class TPixmapHolder {
 public:
  Fl_Pixmap* Load(const TPicture& picture) {
    if (picture.Lines() == lines_) return pixmap_.get();
    lines_ = picture.Lines();
    pointers_.clear();
    for (const auto& line : lines_)
      pointers_.push_back(line.c_str());
    pixmap_.reset();
    if (!pointers_.empty()) {
      pixmap_ = std::make_unique<Fl_Pixmap>(pointers_.data());
      if (pixmap_->w() <= 0 || pixmap_->h() <= 0) pixmap_.reset();
    }
    return pixmap_.get();
  }

 private:
  std::vector<std::string> lines_;
  std::vector<const char*> pointers_;
  std::unique_ptr<Fl_Pixmap> pixmap_;
};

// The program's window class, which its desktop entry names as
// StartupWMClass: a taskbar files the windows under the entry's name and
// icon.
constexpr const char* kWindowClass = "tkv-setup";

// Shows a top-level window with the program's class as both halves of
// WM_CLASS. FLTK writes the class half capitalised ("Tkv-setup"), so the
// hint is written again right behind the map request, in the same batch of
// requests, before a window manager can ask for it.
void ShowWithProgramClass(Fl_Window* window) {
  window->xclass(kWindowClass);
  window->show();
  XClassHint hint{const_cast<char*>(kWindowClass), const_cast<char*>(kWindowClass)};
  XSetClassHint(fl_display, fl_xid(window), &hint);
}

class TFormWindow : public Fl_Double_Window {
 public:
  TFormWindow() : Fl_Double_Window(1, 1) { end(); }

  // FLTK runs the window's callback, as for the close box, on an Escape
  // that no widget took; a form is closed only by its close box or by the
  // program. While a message box is open, Escape is the box's.
  int handle(int event) override {
    const int used = Fl_Double_Window::handle(event);
    if (used == 0 && event == FL_SHORTCUT && Fl::event_key() == FL_Escape &&
        (Fl::modal() == nullptr || Fl::modal() == this))
      return 1;
    return used;
  }
};

class TFormPeer : public TWidgetPeer {
 public:
  explicit TFormPeer(TCustomForm& form) : TWidgetPeer(form, new TFormWindow()), form_(form) {
    widget_->callback(
        [](Fl_Widget*, void* self) {
          auto* peer = static_cast<TFormPeer*>(self);
          peer->Post([form = &peer->form_] { form->Close(); });
        },
        this);
  }
  // The window outlives the caption text it points at by a moment.
  ~TFormPeer() override { Window()->label(nullptr, nullptr); }
  Fl_Group* Group() const override { return Window(); }
  Fl_Double_Window* Window() const { return static_cast<Fl_Double_Window*>(widget_); }

  void Update() override {
    Fl_Double_Window* window = Window();
    if (!labelled_ || caption_ != form_.Caption()) {
      caption_ = form_.Caption();
      labelled_ = true;
      // The icon name a taskbar shows is the whole caption: FLTK's own
      // choice is the text after its last '/' ("25)" of a caption ending in
      // a date). FLTK keeps both pointers; the peer keeps the text.
      window->label(caption_.c_str(), caption_.c_str());
    }
    if (form_.Icon().Lines() != iconLines_) {
      iconLines_ = form_.Icon().Lines();
      if (Fl_Pixmap* pixmap = iconPixmap_.Load(form_.Icon())) {
        // The window keeps a copy; the picture's transparent pixels stay
        // transparent.
        const Fl_RGB_Image image(pixmap);
        window->icon(&image);
      } else {
        window->icons(nullptr, 0);
      }
    }
    const int w = std::max(1, form_.ClientWidth());
    const int h = std::max(1, form_.ClientHeight());
    window->size(w, h);
    if (form_.Resizable()) {
      window->size_range(100, 60);
    } else {
      window->size_range(w, h, w, h);
    }
    window->color(FaceColor(form_.Color()));
    window->labelfont(FontOf(form_.Font()));
    if (form_.Showing() && !window->shown()) {
      if (form_.Position() == poScreenCenter || form_.Position() == poDesktopCenter ||
          form_.Position() == poMainFormCenter || form_.Position() == poOwnerFormCenter) {
        window->position((Fl::w() - w) / 2, (Fl::h() - h) / 2);
      } else {
        window->position(form_.Left(), form_.Top());
      }
      ShowWithProgramClass(window);
      // The controls get their widgets after the form's; once they all have
      // one, the first in the tab order takes the focus (a window manager
      // may not hand the new window the focus at all, and when it does, FLTK
      // keeps the focus where it is inside the window).
      Post([window] {
        if (!window->contains(Fl::focus())) window->take_focus();
      });
    }
    window->redraw();
  }

 private:
  TCustomForm& form_;
  std::string caption_;
  bool labelled_ = false;
  std::vector<std::string> iconLines_;
  TPixmapHolder iconPixmap_;
};

class TLabelPeer : public TWidgetPeer {
 public:
  explicit TLabelPeer(TLabel& label) : TWidgetPeer(label, new Fl_Box(0, 0, 1, 1)), label_(label) {
    widget_->box(FL_NO_BOX);
  }

 protected:
  void UpdateWidget() override {
    text_ = LabelText(DisplayLines(label_.Caption()));
    widget_->label(text_.c_str());
    Fl_Align align = FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_CLIP;
    align |= label_.Alignment() == taCenter         ? FL_ALIGN_CENTER
             : label_.Alignment() == taRightJustify ? FL_ALIGN_RIGHT
                                                    : FL_ALIGN_LEFT;
    if (label_.WordWrap()) align |= FL_ALIGN_WRAP;
    widget_->align(align);
    if (label_.AutoSize() || label_.Width() <= 0 || label_.Height() <= 0) {
      int w = label_.WordWrap() ? std::max(1, label_.Width()) : 0;
      int h = 0;
      fl_font(FontOf(label_.Font()), SizeOf(label_.Font()));
      fl_measure(text_.c_str(), w, h, 0);
      widget_->size(w + 2 * kLabelInset + 1, h);
    }
    LineUpWithTheControlBeside();
    if (!label_.Transparent() && label_.Color() != clBtnFace) {
      widget_->box(FL_FLAT_BOX);
      widget_->color(FaceColor(label_.Color()));
    }
  }

 private:
  // A label in front of a control that draws one centred line of text (a
  // status bar) puts its baseline on that line's: the face's line is much
  // taller than the stored font's, so text drawn from the label's top sits
  // lower than the control's.
  void LineUpWithTheControlBeside() {
    if (label_.Parent() == nullptr || text_.find('\n') != std::string::npos) return;
    const int top = widget_->y();
    const int bottom = top + std::max(1, widget_->h());
    const TWidgetPeer* beside = nullptr;
    for (int i = 0; i < label_.Parent()->ControlCount(); ++i) {
      TControl* other = label_.Parent()->Controls(i);
      auto* peer = dynamic_cast<TWidgetPeer*>(other->Peer());
      if (other == &label_ || peer == nullptr || !peer->TextBaseline()) continue;
      const Fl_Widget* w = peer->Widget();
      if (w->x() <= widget_->x() || w->y() >= bottom || w->y() + w->h() <= top) continue;
      if (beside == nullptr || w->x() < beside->Widget()->x()) beside = peer;
    }
    if (beside == nullptr) return;
    const int baseline = *beside->TextBaseline();
    fl_font(FontOf(label_.Font()), SizeOf(label_.Font()));
    // A top-aligned line has its baseline a line height less the descent
    // below the top.
    widget_->position(widget_->x(), baseline - (fl_height() - fl_descent()));
  }

  TLabel& label_;
  std::string text_;
};

// A push button that Enter presses, as Space does, while it has the focus
// (FLTK's buttons take Space only; a box's default button takes Enter from
// anywhere in the box, but the focused button comes first).
template <class Base>
class TKeyButton : public Base {
 public:
  TKeyButton(int x, int y, int w, int h) : Base(x, y, w, h) {}

  int handle(int event) override {
    if (event == FL_KEYBOARD && Fl::focus() == this &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter) &&
        (Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META)) == 0) {
      this->simulate_key_action();
      this->do_callback();
      return 1;
    }
    return Base::handle(event);
  }
};

// A push button of a form. A button keeps its size, and the substitute face
// is wider than the fonts the sizes were chosen for: a caption that does not
// fit is drawn smaller, down to 8 pixels, rather than cut. Buttons beside it
// with the same stored font are drawn at the same size, so they look alike;
// the size is chosen when drawing, once every caption is known.
class TCaptionButton : public TKeyButton<Fl_Button> {
 public:
  TCaptionButton() : TKeyButton<Fl_Button>(0, 0, 1, 1) {}

  // The size the stored font asks for, and what makes two stored fonts the
  // same.
  void SetStoredFont(Fl_Fontsize size, std::string key) {
    storedSize_ = size;
    fontKey_ = std::move(key);
  }

  void draw() override {
    Fl_Fontsize size = storedSize_;
    if (Fl_Group* group = parent()) {
      for (int i = 0; i < group->children(); ++i) {
        auto* other = dynamic_cast<TCaptionButton*>(group->child(i));
        if (other != nullptr && other->fontKey_ == fontKey_)
          size = std::min(size, other->FittingSize());
      }
    } else {
      size = FittingSize();
    }
    labelsize(size);
    Fl_Button::draw();
  }

 private:
  Fl_Fontsize FittingSize() const {
    const char* text = label();
    if (text == nullptr || *text == '\0') return storedSize_;
    const int room = w() - Fl::box_dw(box()) - 4;
    Fl_Fontsize size = storedSize_;
    for (;; --size) {
      int tw = 0;
      int th = 0;
      fl_font(labelfont(), size);
      fl_measure(text, tw, th, 0);
      if (tw <= room || size <= 8) return size;
    }
  }

  Fl_Fontsize storedSize_ = 12;
  std::string fontKey_;
};

class TButtonPeer : public TWidgetPeer {
 public:
  explicit TButtonPeer(TButton& button) : TWidgetPeer(button, new TCaptionButton()) {
    widget_->callback(
        [](Fl_Widget*, void* self) {
          auto* peer = static_cast<TButtonPeer*>(self);
          peer->Post([control = &peer->control_] { control->Click(); });
        },
        this);
  }

 protected:
  void UpdateWidget() override {
    label_ = LabelText(control_.Caption());
    // FLTK keeps a line for an empty caption and puts a picture above it.
    widget_->label(label_.empty() ? nullptr : label_.c_str());
    const TFont& font = control_.Font();
    static_cast<TCaptionButton*>(widget_)->SetStoredFont(
        SizeOf(font),
        font.Name() + '/' + std::to_string(font.Height()) + '/' + std::to_string(font.Style()));
    if (auto* bit = dynamic_cast<TBitBtn*>(&control_)) {
      widget_->image(pixmap_.Load(bit->Glyph()));
      widget_->align(label_.empty() ? FL_ALIGN_CENTER : FL_ALIGN_IMAGE_NEXT_TO_TEXT);
    }
  }

 private:
  TPixmapHolder pixmap_;
};

// A radio or check button draws its mark a label size wide, 2 pixels in
// from each side of it, then its caption. Where the substitute face makes
// the caption run past the stored width, the widget grows to the right so
// that the whole caption shows and takes clicks.
void FitMarkAndCaption(Fl_Widget* widget, const std::string& caption) {
  int tw = 0;
  int th = 0;
  fl_font(widget->labelfont(), widget->labelsize());
  fl_measure(caption.c_str(), tw, th, 0);
  const int mark = widget->labelsize() + 2 * (Fl::box_dx(widget->box()) + 2);
  const int needed = mark + 2 * kLabelInset + tw;
  if (needed > widget->w()) widget->size(needed, widget->h());
}

// A button with a mark and a caption that the user turns on or off: a
// radio button or a check box. The click goes to the control, which decides
// the new state.
template <class TControlClass, class TFlButton>
class TMarkPeer : public TWidgetPeer {
 public:
  explicit TMarkPeer(TControlClass& control)
      : TWidgetPeer(control, new TFlButton(0, 0, 1, 1)), mark_(control) {
    widget_->callback(
        [](Fl_Widget*, void* self) {
          auto* peer = static_cast<TMarkPeer*>(self);
          peer->Post([mark = &peer->mark_] { mark->UserClick(); });
        },
        this);
  }

 protected:
  void UpdateWidget() override {
    label_ = LabelText(control_.Caption());
    widget_->label(label_.c_str());
    FitMarkAndCaption(widget_, label_);
    static_cast<Fl_Button*>(widget_)->value(mark_.Checked() ? 1 : 0);
  }

 private:
  TControlClass& mark_;
};

class TRadioPeer : public TMarkPeer<TRadioButton, Fl_Round_Button> {
 public:
  explicit TRadioPeer(TRadioButton& radio) : TMarkPeer(radio) {
    static_cast<Fl_Button*>(widget_)->type(FL_RADIO_BUTTON);
    // A click on the button that is already on still counts.
    widget_->when(FL_WHEN_RELEASE_ALWAYS);
  }
};

using TCheckPeer = TMarkPeer<TCheckBox, Fl_Check_Button>;

class TEditPeer : public TWidgetPeer {
 public:
  explicit TEditPeer(TCustomEdit& edit) : TWidgetPeer(edit, new Fl_Input(0, 0, 1, 1)), edit_(edit) {
    auto* input = static_cast<Fl_Input*>(widget_);
    input->when(FL_WHEN_CHANGED);
    input->callback(
        [](Fl_Widget* w, void* self) {
          auto* peer = static_cast<TEditPeer*>(self);
          peer->Post([edit = &peer->edit_, text = std::string(static_cast<Fl_Input*>(w)->value())] {
            edit->SetText(text);
          });
        },
        this);
  }

 protected:
  void UpdateWidget() override {
    auto* input = static_cast<Fl_Input*>(widget_);
    input->textfont(FontOf(control_.Font()));
    input->textsize(SizeOf(control_.Font()));
    input->readonly(edit_.ReadOnly() ? 1 : 0);
    const std::string text = edit_.Text();
    if (text != input->value()) input->value(text.c_str());
  }

 private:
  TCustomEdit& edit_;
};

// A memo leaves Tab and Shift+Tab to the window, which moves the focus on
// or back: they never put a tab into the lines.
class TMemoEditor : public Fl_Text_Editor {
 public:
  TMemoEditor() : Fl_Text_Editor(0, 0, 1, 1) {}

  int handle(int event) override {
    if (event == FL_KEYBOARD && Fl::event_key() == FL_Tab) return 0;
    return Fl_Text_Editor::handle(event);
  }
};

class TMemoPeer : public TWidgetPeer {
 public:
  explicit TMemoPeer(TCustomMemo& memo)
      : TWidgetPeer(memo, new TMemoEditor()), memo_(memo), buffer_(new Fl_Text_Buffer()) {
    Editor()->buffer(buffer_.get());
    Editor()->box(FL_DOWN_BOX);
    buffer_->add_modify_callback(&TMemoPeer::Modified, this);
  }
  ~TMemoPeer() override {
    buffer_->remove_modify_callback(&TMemoPeer::Modified, this);
    Editor()->buffer(nullptr);
  }

 protected:
  void UpdateWidget() override {
    Fl_Text_Editor* editor = Editor();
    editor->textfont(FontOf(control_.Font()));
    editor->textsize(SizeOf(control_.Font()));
    editor->wrap_mode(
        memo_.WordWrap() ? Fl_Text_Display::WRAP_AT_BOUNDS : Fl_Text_Display::WRAP_NONE, 0);
    std::string text;
    for (int i = 0; i < memo_.Lines().Count(); ++i) {
      if (i > 0) text += '\n';
      text += memo_.Lines()[i];
    }
    char* shown = buffer_->text();
    const bool same = text == shown;
    std::free(shown);
    if (!same) {
      updating_ = true;
      buffer_->text(text.c_str());
      updating_ = false;
      // New lines are added at the end: keep the last one in view.
      editor->insert_position(buffer_->length());
      editor->show_insert_position();
    }
  }

 private:
  Fl_Text_Editor* Editor() const { return static_cast<Fl_Text_Editor*>(widget_); }

  static void Modified(int, int, int, int, const char*, void* self) {
    auto* peer = static_cast<TMemoPeer*>(self);
    if (peer->updating_) return;
    char* raw = peer->buffer_->text();
    std::string text = raw;
    std::free(raw);
    peer->Post([memo = &peer->memo_, text] { memo->UserSetText(text); });
  }

  TCustomMemo& memo_;
  std::unique_ptr<Fl_Text_Buffer> buffer_;
  bool updating_ = false;
};

class TListPeer : public TWidgetPeer {
 public:
  explicit TListPeer(TCustomListBox& list)
      : TWidgetPeer(list, new Fl_Hold_Browser(0, 0, 1, 1)), list_(list) {
    // Item texts are shown as they are, without FLTK's '@' formatting.
    Browser()->format_char('\x01');
    Browser()->callback(
        [](Fl_Widget* w, void* self) {
          auto* peer = static_cast<TListPeer*>(self);
          const int index = static_cast<Fl_Hold_Browser*>(w)->value() - 1;
          peer->Post([list = &peer->list_, index] { list->UserSelect(index); });
        },
        this);
  }

 protected:
  void UpdateWidget() override {
    Fl_Hold_Browser* browser = Browser();
    browser->textfont(FontOf(control_.Font()));
    browser->textsize(SizeOf(control_.Font()));
    if (shown_ != list_.Items().Lines()) {
      shown_ = list_.Items().Lines();
      browser->clear();
      for (const auto& item : shown_)
        browser->add(item.c_str());
    }
    browser->value(list_.ItemIndex() + 1);
  }

 private:
  Fl_Hold_Browser* Browser() const { return static_cast<Fl_Hold_Browser*>(widget_); }
  TCustomListBox& list_;
  std::vector<std::string> shown_;
};

class TComboPeer : public TWidgetPeer {
 public:
  explicit TComboPeer(TComboBox& combo)
      : TWidgetPeer(combo, new Fl_Choice(0, 0, 1, 1)), combo_(combo) {
    widget_->callback(
        [](Fl_Widget* w, void* self) {
          auto* peer = static_cast<TComboPeer*>(self);
          const int index = static_cast<Fl_Choice*>(w)->value();
          peer->Post([combo = &peer->combo_, index] { combo->UserSelect(index); });
        },
        this);
  }

 protected:
  void UpdateWidget() override {
    auto* choice = static_cast<Fl_Choice*>(widget_);
    choice->textfont(FontOf(control_.Font()));
    choice->textsize(SizeOf(control_.Font()));
    if (shown_ != combo_.Items().Lines()) {
      shown_ = combo_.Items().Lines();
      choice->clear();
      for (const auto& item : shown_) {
        // '/' would make a submenu and '&' a shortcut.
        std::string escaped;
        for (char c : item) {
          if (c == '/' || c == '\\') escaped += '\\';
          if (c == '&') escaped += '&';
          escaped += c;
        }
        choice->add(escaped.c_str());
      }
    }
    choice->value(combo_.ItemIndex());
  }

 private:
  TComboBox& combo_;
  std::vector<std::string> shown_;
};

class TStatusWidget : public Fl_Widget {
 public:
  explicit TStatusWidget(TStatusBar& bar) : Fl_Widget(0, 0, 1, 1), bar_(bar) {}

  void draw() override {
    fl_font(FontOf(bar_.Font()), SizeOf(bar_.Font()));
    auto panel = [&](int px, int pw, const std::string& text) {
      draw_box(FL_THIN_DOWN_BOX, px, y(), pw, h(), FL_BACKGROUND_COLOR);
      fl_color(TextColor(bar_.Font().Color()));
      fl_push_clip(px + 2, y() + 1, std::max(0, pw - 4), h() - 2);
      fl_draw(LabelText(text).c_str(), px + 4, y(), pw - 8, h(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
      fl_pop_clip();
    };
    if (bar_.SimplePanel()) {
      panel(x(), w(), bar_.SimpleText());
      return;
    }
    draw_box(FL_FLAT_BOX, FL_BACKGROUND_COLOR);
    int px = x();
    for (int i = 0; i < bar_.Panels().Count(); ++i) {
      const bool last = i + 1 == bar_.Panels().Count();
      const int pw = last ? x() + w() - px : bar_.Panel(i)->Width();
      panel(px, pw, bar_.Panel(i)->Text());
      px += pw + 2;
    }
  }

 private:
  TStatusBar& bar_;
};

class TStatusPeer : public TWidgetPeer {
 public:
  explicit TStatusPeer(TStatusBar& bar) : TWidgetPeer(bar, new TStatusWidget(bar)) {}

  // The panels' text is one line centred in the bar's height.
  std::optional<int> TextBaseline() const override {
    fl_font(FontOf(control_.Font()), SizeOf(control_.Font()));
    return widget_->y() + (widget_->h() - fl_height()) / 2 + fl_height() - fl_descent();
  }

  // Labels read before the bar, or beside it when it moves, line up anew.
  void Update() override {
    TWidgetPeer::Update();
    if (control_.Parent() == nullptr) return;
    for (int i = 0; i < control_.Parent()->ControlCount(); ++i) {
      TControl* other = control_.Parent()->Controls(i);
      if (dynamic_cast<TLabel*>(other) != nullptr && other->Peer() != nullptr)
        other->Peer()->Update();
    }
  }
};

class TImagePeer : public TWidgetPeer {
 public:
  explicit TImagePeer(TImage& image) : TWidgetPeer(image, new Fl_Box(0, 0, 1, 1)), image_(image) {
    widget_->box(FL_NO_BOX);
  }

 protected:
  void UpdateWidget() override {
    widget_->image(pixmap_.Load(image_.Picture()));
    widget_->align(image_.Center() ? FL_ALIGN_CENTER : (FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE));
  }

 private:
  TImage& image_;
  TPixmapHolder pixmap_;
};

// ---------------------------------------------------------------------------
// Message boxes: a modal window of our own (fl_choice orders its buttons
// from right to left and refuses to nest), with the loop running inside.

const char* ButtonLabel(int id) {
  switch (id) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    default:
      return "?";
  }
}

int ShowFltkBox(const TMessageBoxRequest& request) {
  const std::vector<int> buttons =
      request.Buttons.empty() ? std::vector<int>{IDOK} : request.Buttons;
  const std::string text = LabelText(DisplayLines(request.Text));
  constexpr int kMargin = 14;
  constexpr int kIcon = 40;
  constexpr int kButtonW = 84;
  constexpr int kButtonH = 28;
  constexpr int kGap = 8;
  const bool icon = request.Type != mtCustom;

  fl_font(FL_HELVETICA, 14);
  int tw = 420;
  int th = 0;
  fl_measure(text.c_str(), tw, th, 0);
  tw = std::max(tw, 160);
  th = std::max(th, kIcon);
  const int textX = kMargin + (icon ? kIcon + kMargin : 0);
  const int buttonsW =
      static_cast<int>(buttons.size()) * kButtonW + static_cast<int>(buttons.size() - 1) * kGap;
  const int w = std::max(textX + tw + kMargin, buttonsW + 2 * kMargin);
  const int h = kMargin + th + kMargin + kButtonH + kMargin;

  Fl_Group* previous = Fl_Group::current();
  Fl_Group::current(nullptr);
  Fl_Double_Window window(w, h);
  window.copy_label(request.Caption.c_str());
  int result = 0;
  auto cancel = [&]() -> int {
    if (std::find(buttons.begin(), buttons.end(), IDCANCEL) != buttons.end()) return IDCANCEL;
    return buttons.size() == 1 ? buttons.front() : 0;
  };
  struct TContext {
    int* result;
    std::function<int()> cancel;
  } context{&result, cancel};
  window.callback(
      [](Fl_Widget*, void* data) {
        auto* c = static_cast<TContext*>(data);
        // The close box and Escape cancel; a box without Cancel (Yes/No) stays.
        if (const int answer = c->cancel(); answer != 0) *c->result = answer;
      },
      &context);

  if (icon) {
    auto* box = new Fl_Box(FL_THIN_UP_BOX, kMargin, kMargin, kIcon, kIcon, nullptr);
    box->labelfont(FL_HELVETICA_BOLD);
    box->labelsize(28);
    switch (request.Type) {
      case mtWarning:
        box->label("!");
        box->color(FL_YELLOW);
        break;
      case mtError:
        box->label("X");
        box->color(FL_RED);
        box->labelcolor(FL_WHITE);
        break;
      case mtInformation:
        box->label("i");
        box->color(fl_rgb_color(0x40, 0x80, 0xE0));
        box->labelcolor(FL_WHITE);
        break;
      default:
        box->label("?");
        box->color(fl_rgb_color(0x40, 0x80, 0xE0));
        box->labelcolor(FL_WHITE);
        break;
    }
  }
  // The box is wider than the measured text by the label's insets, or the
  // text would wrap one word early.
  auto* message = new Fl_Box(textX - kLabelInset, kMargin, tw + 2 * kLabelInset, th);
  message->box(FL_NO_BOX);
  message->labelfont(FL_HELVETICA);
  message->labelsize(14);
  message->label(text.c_str());
  message->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);

  struct TButtonContext {
    int* result;
    int id;
  };
  std::vector<TButtonContext> contexts(buttons.size());
  int bx = (w - buttonsW) / 2;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    contexts[i] = {&result, buttons[i]};
    const int by = h - kMargin - kButtonH;
    Fl_Button* button =
        i == 0
            ? static_cast<Fl_Button*>(new TKeyButton<Fl_Return_Button>(bx, by, kButtonW, kButtonH))
            : new TKeyButton<Fl_Button>(bx, by, kButtonW, kButtonH);
    button->label(ButtonLabel(buttons[i]));
    button->callback(
        [](Fl_Widget*, void* data) {
          auto* c = static_cast<TButtonContext*>(data);
          *c->result = c->id;
        },
        &contexts[i]);
    bx += kButtonW + kGap;
  }
  window.end();
  Fl_Group::current(previous);

  // Over the window that owns the box, else in the middle of the screen.
  Fl_Window* owner = nullptr;
  if (request.Owner != nullptr) {
    if (auto* peer = dynamic_cast<TWidgetPeer*>(request.Owner->Peer()))
      owner = peer->Widget()->as_window();
  }
  if (owner != nullptr && owner->shown()) {
    window.position(owner->x() + (owner->w() - w) / 2, owner->y() + (owner->h() - h) / 2);
  } else {
    window.position((Fl::w() - w) / 2, (Fl::h() - h) / 2);
  }
  // The first button has the focus while the box is open (a window manager
  // may not give the box the focus); the widget that had it before gets it
  // back.
  Fl_Widget_Tracker previousFocus(Fl::focus());
  window.set_modal();
  ShowWithProgramClass(&window);
  window.take_focus();
  if (!RunModalLoop([&] { return result != 0; }))
    result = cancel() != 0 ? cancel() : buttons.back();
  window.hide();
  if (Fl_Widget* back = previousFocus.widget(); back != nullptr && back->visible_r())
    Fl::focus(back);
  return result;
}

class TFltkBackend : public TToolkitBackend {
 public:
  std::unique_ptr<TControlPeer> CreatePeer(TControl& control) override {
    Fl_Group* previous = Fl_Group::current();
    Fl_Group::current(nullptr);
    std::unique_ptr<TControlPeer> peer = Make(control);
    Fl_Group::current(previous);
    return peer;
  }

  int ShowMessageBox(const TMessageBoxRequest& request) override { return ShowFltkBox(request); }

 private:
  static std::unique_ptr<TControlPeer> Make(TControl& control) {
    if (auto* form = dynamic_cast<TCustomForm*>(&control))
      return std::make_unique<TFormPeer>(*form);
    // Other controls show inside a shown parent only.
    if (TWidgetPeer::ParentGroup(control) == nullptr) return nullptr;
    if (auto* label = dynamic_cast<TLabel*>(&control)) return std::make_unique<TLabelPeer>(*label);
    if (auto* button = dynamic_cast<TButton*>(&control))
      return std::make_unique<TButtonPeer>(*button);
    if (auto* radio = dynamic_cast<TRadioButton*>(&control))
      return std::make_unique<TRadioPeer>(*radio);
    if (auto* check = dynamic_cast<TCheckBox*>(&control))
      return std::make_unique<TCheckPeer>(*check);
    if (auto* memo = dynamic_cast<TCustomMemo*>(&control))
      return std::make_unique<TMemoPeer>(*memo);
    if (auto* edit = dynamic_cast<TCustomEdit*>(&control))
      return std::make_unique<TEditPeer>(*edit);
    if (auto* list = dynamic_cast<TCustomListBox*>(&control))
      return std::make_unique<TListPeer>(*list);
    if (auto* combo = dynamic_cast<TComboBox*>(&control))
      return std::make_unique<TComboPeer>(*combo);
    if (auto* bar = dynamic_cast<TStatusBar*>(&control)) return std::make_unique<TStatusPeer>(*bar);
    if (auto* image = dynamic_cast<TImage*>(&control)) return std::make_unique<TImagePeer>(*image);
    return nullptr;
  }
};

}  // namespace

bool UseFltkBackend(std::string* error) {
  const char* name = std::getenv("DISPLAY");
  // FLTK ends the program when it cannot open the display: ask first.
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    if (error != nullptr) {
      *error = (name == nullptr || *name == '\0')
                   ? "no graphical display: DISPLAY is not set"
                   : std::string("cannot open the graphical display \"") + name + "\"";
    }
    return false;
  }
  // FLTK keeps this connection: closing it first would let a server with no
  // other client (a bare Xvfb) reset and refuse FLTK's own connection. A
  // second choice keeps FLTK's connection, which its cached fonts belong to.
  if (fl_display != nullptr) {
    XCloseDisplay(display);
  } else {
    fl_open_display(display);
  }
  SetUpFonts();
  Fl::scheme("gtk+");
  SetToolkitBackend(std::make_unique<TFltkBackend>());
  SetWaitSeam(MakeFltkWaitSeam());
  return true;
}

}  // namespace platform
