// The FLTK backend on a virtual X server (Xvfb): the window and its
// widgets, widget events reaching the controls through the loop, a modal box
// that keeps the loop running, and the answer when there is no display.
// Skipped when Xvfb is not installed.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Pump.h"
#include "platform/toolkit/Forms.h"
#include "platform/toolkit/Headless.h"
#include "platform/toolkit/fltk/Fltk.h"

// After the test framework: it pulls in the X headers, whose macros clash
// with its names.
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

extern char** environ;

// The font library and FLTK's display set-up keep allocations for the life
// of the process, which the leak checker of sanitizer builds would report.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\nleak:XGetVisualInfo\n";
}

namespace {

// One virtual X server for the whole test program, stopped at exit.
pid_t xvfbPid = 0;

bool CanRun(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t colon = dirs.find(':', start);
    const std::string dir = dirs.substr(start, colon - start);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return false;
}

// Starts Xvfb on a display it picks itself (it writes the number to a pipe
// once it accepts connections) and points DISPLAY at it; "" when it could
// not be started.
std::string StartXvfb() {
  static std::string display;
  if (!display.empty()) return display;
  if (!CanRun("Xvfb")) return "";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "";
  const std::string writeEnd = std::to_string(fds[1]);
  const char* argv[] = {"Xvfb",      "-displayfd", writeEnd.c_str(), "-screen", "0", "1024x768x24",
                        "-nolisten", "tcp",        "-noreset",       nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The child keeps the write end under its own number (dup2 onto itself
  // clears close-on-exec).
  posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return "";
  }
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && ::poll(&p, 1, 30000) == 1) {
    char buffer[16];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return "";
  }
  number.resize(number.find('\n'));
  xvfbPid = pid;
  std::atexit([] {
    if (xvfbPid != 0) ::kill(xvfbPid, SIGTERM);
  });
  display = ":" + number;
  ::setenv("DISPLAY", display.c_str(), 1);
  return display;
}

class FltkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetMessageLoopForTesting();
    if (StartXvfb().empty()) GTEST_SKIP() << "Xvfb is not available";
    std::string error;
    ASSERT_TRUE(platform::UseFltkBackend(&error)) << error;
  }
  void TearDown() override {
    app_.DestroyComponents();
    platform::UseHeadlessBackend();
    platform::ResetMessageLoopForTesting();
  }

  static Fl_Widget* FindWidget(Fl_Group* group, const std::string& label) {
    for (int i = 0; i < group->children(); ++i) {
      Fl_Widget* w = group->child(i);
      if (w->label() != nullptr && label == w->label()) return w;
    }
    return nullptr;
  }

  // The name of the windowed control whose widget has the keyboard focus
  // (widgets sit at their controls' places on a form without panels).
  static std::string Focused(const TCustomForm& form) {
    const Fl_Widget* focus = Fl::focus();
    if (focus == nullptr) return "(none)";
    for (TWinControl* control : form.TabList())
      if (focus->x() == control->Left() && focus->y() == control->Top()) return control->Name();
    return "(another widget)";
  }

  // A key as FLTK's event dispatch gets it from X: to the focused widget,
  // then its parents, then as a shortcut.
  static void Key(int key, int state = 0) {
    static char text[2];
    text[0] = key == FL_Tab     ? '\t'
              : key == FL_Enter ? '\r'
              : key < 0x80      ? static_cast<char>(key)
                                : 0;
    Fl::e_keysym = key;
    Fl::e_state = state;
    Fl::e_text = text;
    Fl::e_length = text[0] != 0 ? 1 : 0;
    Fl_Window* window = Fl::modal() != nullptr ? Fl::modal() : Fl::first_window();
    Fl::handle(FL_KEYBOARD, window);
  }

  // The window as drawn on the X server, three bytes a pixel.
  struct TShot {
    int w = 0;
    int h = 0;
    std::vector<unsigned char> rgb;
    const unsigned char* At(int x, int y) const {
      return &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                   static_cast<std::size_t>(x)) *
                  3];
    }
  };
  static TShot Shoot(Fl_Window* window) {
    PumpUntil([] { return false; }, 100);
    Fl::flush();
    window->make_current();
    TShot shot{window->w(), window->h(), {}};
    unsigned char* data = fl_read_image(nullptr, 0, 0, shot.w, shot.h);
    shot.rgb.assign(data, data + static_cast<std::size_t>(shot.w) * shot.h * 3);
    delete[] data;
    return shot;
  }

  TApplication app_;
};

class TSmokeForm : public TForm {
  TKV_CLASS(TSmokeForm, TForm)
 public:
  explicit TSmokeForm(TComponent* owner) : TForm(owner) {
    PublishMethod<void(TObject*)>("ExitClick", [this](TObject*) { ++exitClicks; });
    PublishField("TKV", tkv);
  }
  int exitClicks = 0;
  TRadioButton* tkv = nullptr;
};

const char* const kSmokeForm = R"(object Smoke: TSmokeForm
  ClientWidth = 559
  ClientHeight = 349
  BorderStyle = bsDialog
  Position = poScreenCenter
  Caption = '軟件安裝糸統'
  Visible = True
  object Label3: TLabel
    Left = 72
    Top = 18
    Caption = '軟件 (下載 / 安裝) 系統'
    Font.Height = -15
    Font.Color = clBlue
  end
  object BitBtn1: TBitBtn
    Left = 494
    Top = 16
    Width = 50
    Height = 22
    Glyph = ('6 4 2 1' '. c None' '# c #FF0000' '..##..' '######' '######' '..##..')
    TabOrder = 3
  end
  object TKV1: TRadioButton
    Left = 16
    Top = 64
    Width = 153
    Height = 17
    Caption = 'TKV1 (Simplified Chinese)'
    Checked = True
    TabOrder = 5
  end
  object TKV: TRadioButton
    Left = 208
    Top = 64
    Width = 153
    Height = 17
    Caption = 'TKV (Traditional Chinese)'
    TabOrder = 4
  end
  object InfoMemo: TMemo
    Left = 16
    Top = 120
    Width = 140
    Height = 137
    WordWrap = False
    Lines = ('Setup.exe' '檔案列表')
    TabOrder = 0
  end
  object FileListBox1: TFileListBox
    Left = 368
    Top = 120
    Width = 177
    Height = 137
    TabOrder = 2
  end
  object Label1: TLabel
    Left = 16
    Top = 276
    Caption = 'Status:'
    Font.Height = -12
  end
  object StatusBar1: TStatusBar
    Left = 88
    Top = 272
    Width = 457
    Height = 19
    SimplePanel = True
    SimpleText = 'Status: ready'
  end
  object btnInstall: TButton
    Left = 320
    Top = 312
    Width = 90
    Height = 25
    Caption = 'Install Program'
    Font.Height = -12
    TabOrder = 6
  end
  object btnExit: TButton
    Left = 452
    Top = 312
    Width = 90
    Height = 25
    Caption = '離開'
    Font.Height = -12
    OnClick = ExitClick
    TabOrder = 1
  end
end
)";

TEST_F(FltkTest, ShowsTheWindowAndBringsWidgetEventsThroughTheLoop) {
  auto* form = app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  ASSERT_TRUE(form->Showing());
  Fl_Window* window = Fl::first_window();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0; }));
  EXPECT_EQ(window->w(), 559);
  EXPECT_EQ(window->h(), 349);
  EXPECT_STREQ(window->label(), "軟件安裝糸統");

  // A click on the button is posted and runs the handler from the loop.
  Fl_Widget* exit = FindWidget(window, "離開");
  ASSERT_NE(exit, nullptr);
  exit->do_callback();
  EXPECT_EQ(form->exitClicks, 0);
  ASSERT_TRUE(PumpUntil([&] { return form->exitClicks == 1; }));

  // The radio button's mark has moved before its click handler runs.
  bool checkedInHandler = false;
  form->tkv->OnClick = [&](TObject*) { checkedInHandler = form->tkv->Checked(); };
  auto* tkvButton = static_cast<Fl_Button*>(FindWidget(window, "TKV (Traditional Chinese)"));
  ASSERT_NE(tkvButton, nullptr);
  tkvButton->setonly();
  tkvButton->do_callback();
  ASSERT_TRUE(PumpUntil([&] { return checkedInHandler; }));
  EXPECT_FALSE(dynamic_cast<TRadioButton*>(form->FindComponent("TKV1"))->Checked());

  // Changes of the controls reach the widgets.
  form->SetCaption("Program Installation System");
  EXPECT_STREQ(window->label(), "Program Installation System");

  // A picture of the window, to look at.
  PumpUntil([] { return false; }, 300);
  if (CanRun("import")) {
    const std::string png = std::string(TKV_BINARY_DIR) + "/toolkit-smoke.png";
    const std::string command = "import -window root '" + png + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  // The close box closes the main form, which ends the application.
  window->do_callback();
  ASSERT_TRUE(PumpUntil([&] { return app_.Terminated(); }));
}

// A window property as the X server holds it: bytes for 8-bit formats,
// one element a value for 32-bit ones (Xlib hands those over as longs).
struct TProperty {
  Atom Type = None;
  std::string Bytes;
  std::vector<unsigned long> Values;
};
TProperty ReadProperty(Window window, const char* name) {
  TProperty property;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(fl_display, window, XInternAtom(fl_display, name, False), 0, 1 << 20,
                         False, AnyPropertyType, &type, &format, &count, &after, &data) != Success)
    return property;
  property.Type = type;
  if (format == 8) property.Bytes.assign(reinterpret_cast<char*>(data), count);
  if (format == 32) {
    const auto* values = reinterpret_cast<const unsigned long*>(data);
    property.Values.assign(values, values + count);
  }
  if (data != nullptr) XFree(data);
  return property;
}

// The window shows itself to the desktop: the class its desktop entry
// names, the whole caption as its icon name (also when the caption has a
// '/' and changes), and its icon with the picture's transparency. A
// message box has the program's class too.
TEST_F(FltkTest, TheWindowNamesItsClassIconNameAndIcon) {
  const std::string caption = "Program Installation System  (Updated on 2019/03/25)";
  const std::string form = std::string(R"(object Smoke: TSmokeForm
  ClientWidth = 200
  ClientHeight = 100
  Caption = ')") + caption +
                           R"('
  Icon.Strings = ('3 2 2 1' '. c None' '# c #1F5FBF' '.##' '#..')
  Visible = True
end
)";
  auto* smoke = app_.CreateForm<TSmokeForm>(form, "icon.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0; }));
  const Window xid = fl_xid(window);

  XClassHint hint{};
  ASSERT_NE(XGetClassHint(fl_display, xid, &hint), 0);
  EXPECT_STREQ(hint.res_name, "tkv-setup");
  EXPECT_STREQ(hint.res_class, "tkv-setup");
  XFree(hint.res_name);
  XFree(hint.res_class);

  auto expectIconName = [&](const std::string& name) {
    EXPECT_EQ(ReadProperty(xid, "WM_ICON_NAME").Bytes, name);
    const TProperty utf8 = ReadProperty(xid, "_NET_WM_ICON_NAME");
    EXPECT_EQ(utf8.Type, XInternAtom(fl_display, "UTF8_STRING", False));
    EXPECT_EQ(utf8.Bytes, name);
  };
  expectIconName(caption);

  // Width, height, then one 0xAARRGGBB value a pixel, row by row; a
  // transparent pixel has alpha 0, whatever its colour.
  const TProperty icon = ReadProperty(xid, "_NET_WM_ICON");
  ASSERT_EQ(icon.Type, XA_CARDINAL);
  std::vector<std::uint32_t> pixels;
  for (unsigned long v : icon.Values)  // Xlib widens 32-bit values with their sign
    pixels.push_back(static_cast<std::uint32_t>(v));
  for (std::size_t i = 2; i < pixels.size(); ++i)
    if ((pixels[i] >> 24) == 0) pixels[i] = 0;
  EXPECT_EQ(pixels,
            (std::vector<std::uint32_t>{3, 2, 0, 0xFF1F5FBF, 0xFF1F5FBF, 0xFF1F5FBF, 0, 0}));

  smoke->SetCaption("軟件安裝糸統  (2019/03/25)");
  expectIconName("軟件安裝糸統  (2019/03/25)");

  std::string boxClass;
  platform::SetTimer(0, 0, 20,
                     [&](platform::HWND, platform::UINT, platform::UINT id, std::uint32_t) {
                       Fl_Window* box = Fl::modal();
                       if (box == nullptr || box == window || !box->shown()) return;
                       platform::KillTimer(0, id);
                       XClassHint boxHint{};
                       if (XGetClassHint(fl_display, fl_xid(box), &boxHint) != 0) {
                         boxClass = std::string(boxHint.res_name) + "/" + boxHint.res_class;
                         XFree(boxHint.res_name);
                         XFree(boxHint.res_class);
                       }
                       Key(FL_Escape);
                     });
  smoke->MessageBox("Transfer timed out", "TKV/TKV1 Setup", platform::MB_OK);
  EXPECT_EQ(boxClass, "tkv-setup/tkv-setup");
}

// The stored tab order, not the reading order, is the order Tab and
// Shift+Tab walk, and the first control in it has the focus at start. Tab
// leaves a memo without editing it.
TEST_F(FltkTest, TabWalksTheStoredTabOrder) {
  auto* form = app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0 && Fl::focus() != nullptr; }));
  EXPECT_EQ(Focused(*form), "InfoMemo");
  std::vector<std::string> walked;
  for (int i = 0; i < 7; ++i) {
    Key(FL_Tab);
    walked.push_back(Focused(*form));
  }
  EXPECT_EQ(walked, (std::vector<std::string>{"btnExit", "FileListBox1", "BitBtn1", "TKV", "TKV1",
                                              "btnInstall", "InfoMemo"}));
  Key(FL_Tab, FL_SHIFT);
  EXPECT_EQ(Focused(*form), "btnInstall");
  Key(FL_Tab, FL_SHIFT);
  EXPECT_EQ(Focused(*form), "TKV1");

  // A memo's edits reach its lines through the loop: none came.
  PumpUntil([] { return false; }, 200);
  const auto* memo = dynamic_cast<TMemo*>(form->FindComponent("InfoMemo"));
  ASSERT_NE(memo, nullptr);
  EXPECT_EQ(memo->Lines().Text(), "Setup.exe\r\n檔案列表\r\n");
}

// Escape does not close the main form; in a message box it answers Cancel.
TEST_F(FltkTest, EscapeCancelsABoxButLeavesTheFormOpen) {
  auto* form = app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0 && Fl::focus() != nullptr; }));
  Key(FL_Escape);
  PumpUntil([] { return false; }, 200);
  EXPECT_FALSE(app_.Terminated());
  EXPECT_TRUE(form->Showing());

  int escapes = 0;
  platform::SetTimer(0, 0, 20,
                     [&](platform::HWND, platform::UINT, platform::UINT id, std::uint32_t) {
                       if (Fl::modal() == nullptr || Fl::modal() == window) return;
                       platform::KillTimer(0, id);
                       ++escapes;
                       Key(FL_Escape);
                     });
  EXPECT_EQ(form->MessageBox("Install now?", "TKV/TKV1 Setup",
                             platform::MB_YESNOCANCEL | platform::MB_ICONQUESTION),
            platform::IDCANCEL);
  EXPECT_EQ(escapes, 1);
  EXPECT_FALSE(app_.Terminated());
}

// Enter and Space press the focused button, in the form and in a box, where
// Enter would otherwise press the default button.
TEST_F(FltkTest, EnterAndSpacePressTheFocusedButton) {
  auto* form = app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0 && Fl::focus() != nullptr; }));
  Key(FL_Tab);
  ASSERT_EQ(Focused(*form), "btnExit");
  Key(FL_Enter);
  ASSERT_TRUE(PumpUntil([&] { return form->exitClicks == 1; }));
  EXPECT_EQ(Focused(*form), "btnExit");
  Key(' ');
  ASSERT_TRUE(PumpUntil([&] { return form->exitClicks == 2; }));

  // In the Yes/No/Cancel box Yes has the focus; Tab moves it to No.
  platform::SetTimer(0, 0, 20,
                     [&](platform::HWND, platform::UINT, platform::UINT id, std::uint32_t) {
                       if (Fl::modal() == nullptr || Fl::modal() == window) return;
                       platform::KillTimer(0, id);
                       Key(FL_Tab);
                       Key(FL_Enter);
                     });
  EXPECT_EQ(form->MessageBox("Install now?", "TKV/TKV1 Setup",
                             platform::MB_YESNOCANCEL | platform::MB_ICONQUESTION),
            platform::IDNO);
  EXPECT_EQ(Focused(*form), "btnExit");
}

// A button with a picture and no caption shows the picture in its middle.
TEST_F(FltkTest, APictureWithoutCaptionIsCentred) {
  app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0; }));
  const TShot shot = Shoot(window);
  // The picture's red pixels inside the button at 494,16 (50 x 22).
  int left = 9999, right = -1, top = 9999, bottom = -1;
  for (int y = 16; y < 16 + 22; ++y)
    for (int x = 494; x < 494 + 50; ++x) {
      const unsigned char* p = shot.At(x, y);
      if (p[0] > 200 && p[1] < 60 && p[2] < 60) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
    }
  ASSERT_EQ(right - left + 1, 6) << "the picture is not shown whole";
  ASSERT_EQ(bottom - top + 1, 4) << "the picture is not shown whole";
  EXPECT_LE(std::abs((left - 494) - (494 + 50 - 1 - right)), 1);
  EXPECT_LE(std::abs((top - 16) - (16 + 22 - 1 - bottom)), 1);
}

// A box is as wide as its text needs (up to a limit) and wraps it only past
// that limit. Each box is kept as a picture in the build folder.
TEST_F(FltkTest, MessageBoxesWrapOnlyWhatDoesNotFit) {
  auto* form = app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0; }));
  struct TCase {
    const char* file;
    const char* text;
    const char* caption;
    unsigned flags;
    int lines;
  };
  const TCase cases[] = {
      {"box-not-complete-en", "Required files not complete !", "TKV/TKV1 Setup", platform::MB_OK,
       1},
      {"box-not-complete-zh", "所需檔案不完整!", "TKV/TKV1 Setup", platform::MB_OK, 1},
      {"box-install-en", "Required files had been completely downloaded, install program now?",
       "TKV/TKV1 Setup", platform::MB_YESNOCANCEL | platform::MB_ICONQUESTION, 2},
      {"box-install-zh", "所需檔案已下載完成, 現在開始安裝軟件?", "TKV/TKV1 Setup",
       platform::MB_YESNOCANCEL | platform::MB_ICONQUESTION, 1},
      {"box-ftp-error", "Connection refused", "FTP Error: 10061",
       platform::MB_OK | platform::MB_ICONWARNING, 1},
      {"box-timed-out", "Transfer timed out", "TKV/TKV1 Setup", platform::MB_OK, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.file);
    int lines = -1;
    platform::SetTimer(
        0, 0, 20, [&](platform::HWND, platform::UINT, platform::UINT id, std::uint32_t) {
          Fl_Window* box = Fl::modal();
          if (box == nullptr || box == window || box->visible() == 0) return;
          platform::KillTimer(0, id);
          const TShot shot = Shoot(box);
          if (CanRun("xwd") && CanRun("convert")) {
            const std::string command = "xwd -silent -id " + std::to_string(fl_xid(box)) +
                                        " | convert xwd:- '" + TKV_BINARY_DIR + "/" + c.file +
                                        ".png' 2>/dev/null";
            EXPECT_EQ(std::system(command.c_str()), 0);
          }
          // Bands of rows with dark pixels inside the text's widget.
          for (int i = 0; i < box->children(); ++i) {
            const Fl_Widget* w = box->child(i);
            if (w->label() == nullptr || std::string(w->label()) != c.text) continue;
            lines = 0;
            bool inLine = false;
            for (int y = w->y(); y < w->y() + w->h(); ++y) {
              bool dark = false;
              for (int x = w->x(); x < w->x() + w->w() && !dark; ++x)
                dark = shot.At(x, y)[0] < 100 && shot.At(x, y)[1] < 100;
              if (dark && !inLine) ++lines;
              inLine = dark;
            }
          }
          Key(FL_Escape);
        });
    form->MessageBox(c.text, c.caption, c.flags);
    EXPECT_EQ(lines, c.lines);
  }
}

// Where the substitute face is wider than the stored font, captions still
// fit: buttons of one stored font share one size, and a radio button's whole
// caption shows and takes clicks.
TEST_F(FltkTest, CaptionsFitTheirControls) {
  app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0; }));
  const TShot shot = Shoot(window);

  Fl_Widget* install = FindWidget(window, "Install Program");
  Fl_Widget* exit = FindWidget(window, "離開");
  ASSERT_NE(install, nullptr);
  ASSERT_NE(exit, nullptr);
  EXPECT_EQ(install->labelsize(), exit->labelsize());
  int tw = 0;
  int th = 0;
  fl_font(install->labelfont(), install->labelsize());
  fl_measure(install->label(), tw, th, 0);
  EXPECT_LE(tw, install->w() - Fl::box_dw(install->box()));

  // The caption's last dark pixel lies inside the widget, which is at least
  // as wide as stored; the next control in the row is 192 pixels on.
  for (const char* caption : {"TKV (Traditional Chinese)", "TKV1 (Simplified Chinese)"}) {
    SCOPED_TRACE(caption);
    Fl_Widget* radio = FindWidget(window, caption);
    ASSERT_NE(radio, nullptr);
    EXPECT_GE(radio->w(), 153);
    int last = -1;
    for (int y = radio->y(); y < radio->y() + radio->h(); ++y)
      for (int x = radio->x(); x < std::min(shot.w, radio->x() + 190); ++x)
        if (shot.At(x, y)[0] < 100 && shot.At(x, y)[1] < 100) last = std::max(last, x);
    EXPECT_GT(last, radio->x() + 100);
    EXPECT_LT(last, radio->x() + radio->w());
  }
}

// A label in front of the status bar stands on the same baseline as the
// bar's text, although their fonts differ and the label was read first.
TEST_F(FltkTest, ALabelLinesUpWithTheStatusBarBesideIt) {
  app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  Fl_Window* window = Fl::first_window();
  ASSERT_TRUE(PumpUntil([&] { return window->visible() != 0; }));
  const TShot shot = Shoot(window);
  // The lowest row with dark pixels: "Status:" has no descender.
  auto lowestDark = [&](int x0, int x1, int y0, int y1) {
    int lowest = -1;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        if (shot.At(x, y)[0] < 100 && shot.At(x, y)[1] < 100) lowest = y;
    return lowest;
  };
  const int label = lowestDark(16, 80, 255, 305);
  const int bar = lowestDark(92, 140, 274, 290);
  ASSERT_GT(label, 0);
  ASSERT_GT(bar, 0);
  EXPECT_LE(std::abs(label - bar), 1) << "label " << label << ", bar " << bar;
}

TEST_F(FltkTest, AnOpenBoxKeepsTheLoopRunningAndReturnsTheButton) {
  auto* form = app_.CreateForm<TSmokeForm>(kSmokeForm, "smoke.form");
  ASSERT_TRUE(form->Showing());
  int pings = 0;
  int ticks = 0;
  int reads = 0;
  const platform::HWND target = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == platform::WM_USER + 1) ++pings;
        return 0;
      });
  platform::PostMessage(target, platform::WM_USER + 1, 0, 0);
  // A watched descriptor, made ready by the timer below.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  platform::WatchFd(fds[0], POLLIN, [&](int fd, short) {
    char byte;
    while (::read(fd, &byte, 1) == 1)
      ++reads;
  });
  // A timer writes to the pipe, then presses "No" once the post and the
  // descriptor were handled and a few ticks went by; all of that happens
  // while the box is open.
  platform::SetTimer(0, 0, 20,
                     [&](platform::HWND, platform::UINT, platform::UINT id, std::uint32_t) {
                       if (++ticks == 1) {
                         EXPECT_EQ(::write(fds[1], "x", 1), 1);
                       }
                       if (pings == 0 || reads == 0 || ticks < 3 || Fl::modal() == nullptr) return;
                       if (Fl_Widget* no = FindWidget(Fl::modal(), "No")) {
                         platform::KillTimer(0, id);
                         no->do_callback();
                       }
                     });
  const int answer = form->MessageBox("Install now?", "TKV/TKV1 Setup",
                                      platform::MB_YESNOCANCEL | platform::MB_ICONQUESTION);
  EXPECT_EQ(answer, platform::IDNO);
  EXPECT_EQ(pings, 1);
  EXPECT_EQ(reads, 1);
  EXPECT_GE(ticks, 3);
  platform::UnwatchFd(fds[0]);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(FltkDisplayTest, WithoutADisplayItSaysSoInOneLine) {
  const char* saved = std::getenv("DISPLAY");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("DISPLAY", ":4093", 1);
  std::string error;
  EXPECT_FALSE(platform::UseFltkBackend(&error));
  EXPECT_NE(error.find(":4093"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
  ::unsetenv("DISPLAY");
  EXPECT_FALSE(platform::UseFltkBackend(&error));
  EXPECT_NE(error.find("DISPLAY is not set"), std::string::npos) << error;
  if (saved != nullptr) ::setenv("DISPLAY", previous.c_str(), 1);
}

}  // namespace
