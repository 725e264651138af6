// The seam between the controls and the backend that shows them.
//
// Controls keep their whole state in memory. A backend may give a control a
// peer (the widget that shows it); the control tells its peer after each
// change through Update. The headless backend makes no peers; the FLTK
// backend makes widgets. A backend also shows the modal message boxes.
//
// The backend is chosen once, explicitly, before the first form is created
// (platform::UseHeadlessBackend in Headless.h, platform::UseFltkBackend in
// Fltk.h). Without a choice the headless backend is used.
//
// Threads: the main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

class TControl;
class TCustomForm;

namespace platform {

// Message box results and flags, with the platform's numbers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_OKCANCEL = 0x01;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x02;
constexpr unsigned MB_YESNOCANCEL = 0x03;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_RETRYCANCEL = 0x05;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;

}  // namespace platform

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// One modal message box. Buttons are result numbers (platform::IDYES, ...),
// in the order they are shown from left to right.
struct TMessageBoxRequest {
  TCustomForm* Owner = nullptr;  // the window the box belongs to, if any
  std::string Caption;
  std::string Text;
  TMsgDlgType Type = mtCustom;
  std::vector<int> Buttons;
};

class TControlPeer {
 public:
  virtual ~TControlPeer() = default;
  // The control's state changed: show it.
  virtual void Update() = 0;
};

class TToolkitBackend {
 public:
  virtual ~TToolkitBackend() = default;
  // The widget for a control whose parent (or, for a form, itself) is being
  // shown; nullptr for a control this backend does not show.
  virtual std::unique_ptr<TControlPeer> CreatePeer(TControl& control) = 0;
  // Shows the box and returns the button pressed. The message loop keeps
  // running while the box is open (see RunModalLoop in Forms.h).
  virtual int ShowMessageBox(const TMessageBoxRequest& request) = 0;
};

namespace platform {

TToolkitBackend& ToolkitBackend();
// Replaces the backend. Forms already shown keep the peers they have.
void SetToolkitBackend(std::unique_ptr<TToolkitBackend> backend);

}  // namespace platform
