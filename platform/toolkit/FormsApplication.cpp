// The application object, the modal loop and the message boxes.
#include "platform/Messages.h"
#include "platform/toolkit/Forms.h"

TApplication* Application = nullptr;

TApplication::TApplication(TComponent* owner) : TComponent(owner) {
  PublishString(
      "Title", [this] { return title_; }, [this](const std::string& v) { SetTitle(v); });
  Application = this;
}

TApplication::~TApplication() {
  // Forms are destroyed while the application object is still whole.
  DestroyComponents();
  if (Application == this) Application = nullptr;
}

void TApplication::Initialize() {
  terminated_ = false;
}

void TApplication::ComponentNotify(TComponent* component, TOperation operation) {
  TComponent::ComponentNotify(component, operation);
  if (operation == TOperation::opRemove && component == mainForm_) mainForm_ = nullptr;
}

void TApplication::Run() {
  if (mainForm_ != nullptr && !mainForm_->Showing()) {
    try {
      mainForm_->Show();
    } catch (...) {
      HandleException(this);
    }
  }
  while (!terminated_) {
    try {
      platform::MSG msg;
      if (!platform::PeekMessage(msg, true)) {
        platform::WaitForWork(-1);
        continue;
      }
      if (msg.message == platform::WM_QUIT && msg.hwnd == 0) {
        terminated_ = true;
        break;
      }
      platform::DispatchMessage(msg);
    } catch (...) {
      HandleException(this);
    }
  }
}

void TApplication::Terminate() {
  if (terminated_) return;
  terminated_ = true;
  // Wakes a waiting loop and closes open modal boxes.
  platform::PostQuitMessage(0);
}

void TApplication::ProcessMessages() {
  platform::MSG msg;
  while (platform::PeekMessage(msg, true)) {
    if (msg.message == platform::WM_QUIT && msg.hwnd == 0) {
      terminated_ = true;
      platform::PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    platform::DispatchMessage(msg);
  }
}

void TApplication::HandleException(TObject* sender) {
  try {
    throw;
  } catch (const std::exception& e) {
    if (OnException) {
      OnException(sender, e);
    } else {
      ShowException(e);
    }
  } catch (...) {
    const std::runtime_error unknown("An unknown error occurred");
    if (OnException) {
      OnException(sender, unknown);
    } else {
      ShowException(unknown);
    }
  }
}

void TApplication::ShowException(const std::exception& e) {
  ::MessageBox(mainForm_, e.what(), title_, platform::MB_OK | platform::MB_ICONERROR);
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return ::MessageBox(mainForm_, text, caption, flags);
}

// ---------------------------------------------------------------------------

bool RunModalLoop(const std::function<bool()>& done) {
  while (!done()) {
    platform::MSG msg;
    if (platform::PeekMessage(msg, true)) {
      if (msg.message == platform::WM_QUIT && msg.hwnd == 0) {
        platform::PostQuitMessage(static_cast<int>(msg.wParam));
        return false;
      }
      platform::DispatchMessage(msg);
      continue;
    }
    platform::WaitForWork(-1);
  }
  return true;
}

int ShowMessageBox(const TMessageBoxRequest& request) {
  return platform::ToolkitBackend().ShowMessageBox(request);
}

int MessageBox(TCustomForm* owner, const std::string& text, const std::string& caption,
               unsigned flags) {
  TMessageBoxRequest request;
  request.Owner = owner;
  request.Text = text;
  request.Caption = caption;
  switch (flags & 0xF0u) {
    case platform::MB_ICONERROR:
      request.Type = mtError;
      break;
    case platform::MB_ICONQUESTION:
      request.Type = mtConfirmation;
      break;
    case platform::MB_ICONWARNING:
      request.Type = mtWarning;
      break;
    case platform::MB_ICONINFORMATION:
      request.Type = mtInformation;
      break;
    default:
      request.Type = mtCustom;
      break;
  }
  using namespace platform;
  switch (flags & 0x0Fu) {
    case MB_OKCANCEL:
      request.Buttons = {IDOK, IDCANCEL};
      break;
    case MB_ABORTRETRYIGNORE:
      request.Buttons = {IDABORT, IDRETRY, IDIGNORE};
      break;
    case MB_YESNOCANCEL:
      request.Buttons = {IDYES, IDNO, IDCANCEL};
      break;
    case MB_YESNO:
      request.Buttons = {IDYES, IDNO};
      break;
    case MB_RETRYCANCEL:
      request.Buttons = {IDRETRY, IDCANCEL};
      break;
    default:
      request.Buttons = {IDOK};
      break;
  }
  return ShowMessageBox(request);
}

void ShowMessage(const std::string& text) {
  const std::string caption = Application != nullptr ? Application->Title() : std::string();
  MessageBox(Application != nullptr ? Application->MainForm() : nullptr, text, caption,
             platform::MB_OK);
}

int MessageDlg(const std::string& text, TMsgDlgType type, const std::vector<int>& buttons) {
  TMessageBoxRequest request;
  request.Owner = Application != nullptr ? Application->MainForm() : nullptr;
  request.Text = text;
  request.Type = type;
  request.Buttons = buttons.empty() ? std::vector<int>{platform::IDOK} : buttons;
  switch (type) {
    case mtWarning:
      request.Caption = "Warning";
      break;
    case mtError:
      request.Caption = "Error";
      break;
    case mtInformation:
      request.Caption = "Information";
      break;
    case mtConfirmation:
      request.Caption = "Confirm";
      break;
    case mtCustom:
      request.Caption = Application != nullptr ? Application->Title() : std::string();
      break;
  }
  return ShowMessageBox(request);
}
