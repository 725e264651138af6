// Forms, the application object and the modal message boxes.
//
// A form is the window: a windowed control that is the parent of the
// controls on it and, when it comes from a stored form, the owner of every
// component of that description. The application object owns the forms it
// creates, runs the message loop (platform/Messages.h) and ends it on
// Terminate.
//
// Message boxes are modal: the call returns the button pressed, and the
// message loop keeps running while the box is open (posted messages, timers
// and watched descriptors are handled; WM_QUIT closes the box as if it were
// cancelled and stays queued for the outer loop).
//
// Threads: the main thread only.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/toolkit/Controls.h"
#include "platform/toolkit/Toolkit.h"

enum TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;
enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TPosition {
  poDesigned,
  poDefault,
  poDefaultPosOnly,
  poDefaultSizeOnly,
  poScreenCenter,
  poDesktopCenter,
  poMainFormCenter,
  poOwnerFormCenter
};
enum TBorderIcon : unsigned { biSystemMenu = 1, biMinimize = 2, biMaximize = 4, biHelp = 8 };

// The window. Its size is the client area (the window manager's frame lies
// outside), so Width equals ClientWidth. A form with BorderStyle bsDialog or
// bsSingle cannot be resized by the user; Position poScreenCenter or
// poDesktopCenter centres it on the screen when shown.
class TCustomForm : public TWinControl {
  TKV_CLASS(TCustomForm, TWinControl)
 public:
  explicit TCustomForm(TComponent* owner);
  ~TCustomForm() override;

  int ClientWidth() const { return Width(); }
  void SetClientWidth(int v) { SetWidth(v); }
  int ClientHeight() const { return Height(); }
  void SetClientHeight(int v) { SetHeight(v); }
  TFormBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TFormBorderStyle v);
  TPosition Position() const { return position_; }
  void SetPosition(TPosition v);
  unsigned BorderIcons() const { return borderIcons_; }
  void SetBorderIcons(unsigned v);
  bool Resizable() const { return borderStyle_ == bsSizeable || borderStyle_ == bsSizeToolWin; }
  // The window's icon for the desktop (taskbar, switcher): XPM lines, like
  // an image's picture; empty leaves the desktop's default.
  TPicture& Icon() { return icon_; }
  const TPicture& Icon() const { return icon_; }

  // Reads a stored form into this form (FormReader.h), then runs the
  // creation handler. sourceName names the form in errors.
  void LoadStoredForm(const std::string& text, const std::string& sourceName);

  // Shows the form: its controls get their peers from the backend.
  void Show();
  void Hide();
  bool Showing() const { return showing_; }
  // Asks the close handler (OnClose, default action caHide) and acts on its
  // answer; closing the application's main form terminates the application.
  void Close();

  // A message box owned by this form (flags: platform::MB_...).
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags);

  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;
  TNotifyEvent OnShow;
  TCloseEvent OnClose;

 protected:
  virtual void DoCreate();
  virtual void DoDestroy();
  virtual void DoShow();
  virtual void DoClose(TCloseAction& action);
  void BeforeDestruction() override;
  void VisibleChanged() override;

 private:
  TFormBorderStyle borderStyle_ = bsSizeable;
  TPosition position_ = poDesigned;
  unsigned borderIcons_ = biSystemMenu | biMinimize | biMaximize;
  TPicture icon_;
  bool showing_ = false;
  int pixelsPerInch_ = 96;
  int textHeight_ = 13;
  bool oldCreateOrder_ = false;
  bool scaled_ = true;
};

class TForm : public TCustomForm {
  TKV_CLASS(TForm, TCustomForm)
 public:
  explicit TForm(TComponent* owner) : TCustomForm(owner) {}
};

// ---------------------------------------------------------------------------

using TExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;

class TApplication : public TComponent {
  TKV_CLASS(TApplication, TComponent)
 public:
  // The last application object created becomes the global Application.
  explicit TApplication(TComponent* owner = nullptr);
  ~TApplication() override;

  void Initialize();
  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& v) { title_ = v; }

  // Creates a form of class T owned by the application (constructor
  // arguments after the owner), reads its stored form and runs its creation
  // handler. The first form created is the main form; it is shown when Run
  // starts if it is Visible. A form that fails to load is destroyed and the
  // error propagates.
  template <class T, class... Args>
  T* CreateForm(const std::string& storedForm, const std::string& sourceName, Args&&... args) {
    T* form = new T(this, std::forward<Args>(args)...);
    try {
      form->LoadStoredForm(storedForm, sourceName);
    } catch (...) {
      form->Free();
      throw;
    }
    if (mainForm_ == nullptr) mainForm_ = form;
    return form;
  }
  TCustomForm* MainForm() const { return mainForm_; }

  // Runs the message loop until Terminate; an exception escaping a handler
  // is shown by HandleException and the loop goes on.
  void Run();
  // The loop ends after the current handler returns; modal boxes close.
  void Terminate();
  bool Terminated() const { return terminated_; }
  // Handles every message pending now, without waiting.
  void ProcessMessages();

  // Shows the current exception (inside a catch block) through OnException
  // or ShowException.
  void HandleException(TObject* sender);
  // An error box titled with the application title.
  void ShowException(const std::exception& e);
  // A box owned by the main form.
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags);

  TExceptionEvent OnException;

  void ComponentNotify(TComponent* component, TOperation operation) override;

 private:
  std::string title_;
  TCustomForm* mainForm_ = nullptr;
  bool terminated_ = false;
};

extern TApplication* Application;

// ---------------------------------------------------------------------------
// Message boxes.

// The modal loop: handles posted messages and waits for work until done()
// is true. Returns false when WM_QUIT arrived first (it is posted again).
bool RunModalLoop(const std::function<bool()>& done);

// Shows a box through the backend.
int ShowMessageBox(const TMessageBoxRequest& request);
// A box in the platform's terms: flags choose buttons and icon.
int MessageBox(TCustomForm* owner, const std::string& text, const std::string& caption,
               unsigned flags);
// A plain box with an OK button, titled with the application title.
void ShowMessage(const std::string& text);
// A box titled after its type ("Warning", "Error", "Information",
// "Confirm"), with the given buttons (platform::IDYES, ...).
int MessageDlg(const std::string& text, TMsgDlgType type, const std::vector<int>& buttons);

// Modal results, the same numbers as the box results.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;
constexpr int mrRetry = 4;
constexpr int mrIgnore = 5;
constexpr int mrYes = 6;
constexpr int mrNo = 7;
