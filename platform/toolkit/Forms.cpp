#include "platform/toolkit/Forms.h"

#include "platform/toolkit/FormReader.h"

TCustomForm::TCustomForm(TComponent* owner) : TWinControl(owner) {
  PublishCaption();
  PublishInteger(
      "ClientWidth", [this] { return ClientWidth(); }, [this](int v) { SetClientWidth(v); });
  PublishInteger(
      "ClientHeight", [this] { return ClientHeight(); }, [this](int v) { SetClientHeight(v); });
  PublishEnumeration(
      "BorderStyle",
      {"bsNone", "bsSingle", "bsSizeable", "bsDialog", "bsToolWindow", "bsSizeToolWin"},
      [this] { return static_cast<int>(borderStyle_); },
      [this](int v) { SetBorderStyle(static_cast<TFormBorderStyle>(v)); });
  PublishEnumeration(
      "Position",
      {"poDesigned", "poDefault", "poDefaultPosOnly", "poDefaultSizeOnly", "poScreenCenter",
       "poDesktopCenter", "poMainFormCenter", "poOwnerFormCenter"},
      [this] { return static_cast<int>(position_); },
      [this](int v) { SetPosition(static_cast<TPosition>(v)); });
  PublishSet(
      "BorderIcons", {"biSystemMenu", "biMinimize", "biMaximize", "biHelp"},
      [this] { return borderIcons_; }, [this](unsigned v) { SetBorderIcons(v); });
  PublishStrings("Icon", &icon_);
  icon_.OnChange = [this] { Changed(); };
  // Stored with forms by some designers; kept, without effect here.
  PublishInteger(
      "PixelsPerInch", [this] { return pixelsPerInch_; }, [this](int v) { pixelsPerInch_ = v; });
  PublishInteger(
      "TextHeight", [this] { return textHeight_; }, [this](int v) { textHeight_ = v; });
  PublishBoolean(
      "OldCreateOrder", [this] { return oldCreateOrder_; },
      [this](bool v) { oldCreateOrder_ = v; });
  PublishBoolean(
      "Scaled", [this] { return scaled_; }, [this](bool v) { scaled_ = v; });
  PublishEvent("OnCreate", OnCreate);
  PublishEvent("OnDestroy", OnDestroy);
  PublishEvent("OnShow", OnShow);
  PublishEvent("OnClose", OnClose);
  SetVisible(false);
}

TCustomForm::~TCustomForm() {
  // The controls go while the form is still whole; their widgets live inside
  // the form's.
  DestroyComponents();
  DestroyPeers();
}

void TCustomForm::SetBorderStyle(TFormBorderStyle v) {
  borderStyle_ = v;
  Changed();
}

void TCustomForm::SetPosition(TPosition v) {
  position_ = v;
  Changed();
}

void TCustomForm::SetBorderIcons(unsigned v) {
  borderIcons_ = v;
  Changed();
}

void TCustomForm::LoadStoredForm(const std::string& text, const std::string& sourceName) {
  ReadStoredForm(*this, text, sourceName);
  DoCreate();
  if (Visible()) Show();
}

void TCustomForm::Show() {
  if (!Visible()) {
    SetVisible(true);  // shows through VisibleChanged
    return;
  }
  if (showing_) return;
  showing_ = true;
  CreatePeers();
  DoShow();
}

void TCustomForm::Hide() {
  SetVisible(false);
}

void TCustomForm::VisibleChanged() {
  if (IsLoading()) return;
  if (Visible()) {
    Show();
  } else if (showing_) {
    showing_ = false;
    DestroyPeers();
  }
}

void TCustomForm::Close() {
  TCloseAction action = caHide;
  DoClose(action);
  if (action == caNone) return;
  if (Application != nullptr && Application->MainForm() == this) {
    Application->Terminate();
    return;
  }
  // caFree hides as well: the form may be inside one of its own handlers,
  // so it stays until its owner frees it.
  Hide();
}

int TCustomForm::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return ::MessageBox(this, text, caption, flags);
}

void TCustomForm::DoCreate() {
  if (OnCreate) OnCreate(this);
}

void TCustomForm::DoDestroy() {
  if (OnDestroy) OnDestroy(this);
}

void TCustomForm::DoShow() {
  if (OnShow) OnShow(this);
}

void TCustomForm::DoClose(TCloseAction& action) {
  if (OnClose) OnClose(this, action);
}

void TCustomForm::BeforeDestruction() {
  DoDestroy();
}
