// The controls of the widget toolkit and the non-visual components that go
// with them (timer, action, menu item, dialogs).
//
// Every control keeps its state in memory and publishes its properties by
// name (Classes.h). A control has an owner (which destroys it) and a parent
// (the control that shows it, usually the form). When its form is shown, the
// backend gives each control a peer that mirrors the state (Toolkit.h).
//
// Events are public std::function members, raised through protected virtual
// Do... operations; they fire on the main thread from the message loop (a
// click of the user) or inside the call that causes them (Click()).
//
// Threads: the main thread only.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/toolkit/Classes.h"
#include "platform/toolkit/Toolkit.h"

class TWinControl;
class TCustomForm;
class TAction;

// ---------------------------------------------------------------------------
// Colours are 0x00BBGGRR; system colours have the top bit set.

using TColor = std::int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clOlive = 0x008080;
constexpr TColor clNavy = 0x800000;
constexpr TColor clPurple = 0x800080;
constexpr TColor clTeal = 0x808000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clWindow = static_cast<TColor>(0x80000005u);
constexpr TColor clWindowText = static_cast<TColor>(0x80000008u);
constexpr TColor clBtnFace = static_cast<TColor>(0x8000000Fu);
// The colour as 0x00RRGGBB for drawing, system colours resolved.
std::uint32_t ColorToRgb(TColor color);

// Character sets of fonts.
constexpr int ANSI_CHARSET = 0;
constexpr int DEFAULT_CHARSET = 1;
constexpr int SYMBOL_CHARSET = 2;
constexpr int SHIFTJIS_CHARSET = 128;
constexpr int HANGEUL_CHARSET = 129;
constexpr int GB2312_CHARSET = 134;
constexpr int CHINESEBIG5_CHARSET = 136;
constexpr int OEM_CHARSET = 255;

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

// A font: Name, CharSet, Height (negative: character height in pixels),
// Size (points at 96 dots per inch), Color and Style.
class TFont : public TPersistent {
  TKV_CLASS(TFont, TPersistent)
 public:
  TFont();
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);
  int CharSet() const { return charSet_; }
  void SetCharSet(int charSet);
  int Height() const { return height_; }
  void SetHeight(int height);
  int Size() const;
  void SetSize(int size);
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  unsigned Style() const { return style_; }
  void SetStyle(unsigned style);
  // The character height in pixels.
  int PixelHeight() const;
  void Assign(const TFont& other);

  std::function<void()> OnChange;

 private:
  void Changed();
  std::string name_ = "MS Sans Serif";
  int charSet_ = DEFAULT_CHARSET;
  int height_ = -11;
  TColor color_ = clWindowText;
  unsigned style_ = 0;
};

// A picture kept as the lines of an XPM image (the stored form writes them
// as a string list). Empty: no picture.
using TPicture = TStrings;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// ---------------------------------------------------------------------------

class TControl : public TComponent {
  TKV_CLASS(TControl, TComponent)
 public:
  explicit TControl(TComponent* owner);
  ~TControl() override;

  int Left() const { return left_; }
  void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
  int Top() const { return top_; }
  void SetTop(int v) { SetBounds(left_, v, width_, height_); }
  int Width() const { return width_; }
  void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
  int Height() const { return height_; }
  void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
  virtual void SetBounds(int left, int top, int width, int height);

  bool Visible() const { return visible_; }
  void SetVisible(bool v);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v);
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& v);
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool v);
  TColor Color() const { return color_; }
  void SetColor(TColor v);
  TFont& Font() { return font_; }
  const TFont& Font() const { return font_; }
  bool ParentFont() const { return parentFont_; }
  void SetParentFont(bool v);

  // The text a control shows; published as Caption by the controls that
  // have one.
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v);

  TWinControl* Parent() const { return parent_; }
  void SetParent(TWinControl* parent);
  // The form the control sits on (through its parents), or nullptr.
  TCustomForm* ParentForm() const;

  // A linked action (published by the controls that have one).
  TAction* Action() const { return action_; }

  // Runs the click: OnClick, or the linked action's execution.
  virtual void Click();
  TNotifyEvent OnClick;

  // Drawing: the backend repaints the control (no-op headless).
  void Invalidate();
  void Repaint() { Invalidate(); }
  void Refresh() { Invalidate(); }

  TControlPeer* Peer() const { return peer_.get(); }
  // Makes the peers of this control and of its children (when shown).
  virtual void CreatePeers();
  virtual void DestroyPeers();

 protected:
  // Tells the peer of a change of state.
  void Changed();
  // Makes this control's own peer, if it has none.
  void MakePeer();
  virtual void DoClick();
  // Publishing helpers for the common properties.
  void PublishCaption();
  void PublishAction();
  void PublishTabOrder();
  virtual void ParentFontChanged();
  // Runs after Visible changed.
  virtual void VisibleChanged() {}

  TAction* action_ = nullptr;

 private:
  int left_ = 0;
  int top_ = 0;
  int width_ = 0;
  int height_ = 0;
  bool visible_ = true;
  bool enabled_ = true;
  bool showHint_ = false;
  bool parentFont_ = true;
  bool copyingFont_ = false;
  std::string hint_;
  std::string caption_;
  TColor color_ = clBtnFace;
  TFont font_;
  TWinControl* parent_ = nullptr;
  std::unique_ptr<TControlPeer> peer_;
  friend class TWinControl;
};

class TWinControl : public TControl {
  TKV_CLASS(TWinControl, TControl)
 public:
  explicit TWinControl(TComponent* owner);
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(controls_.size()); }
  TControl* Controls(int index) const;
  int TabOrder() const;
  void SetTabOrder(int order);
  bool TabStop() const { return tabStop_; }
  void SetTabStop(bool v) { tabStop_ = v; }
  // Child controls that are windowed, in tab order.
  std::vector<TWinControl*> TabList() const;

  void CreatePeers() override;
  void DestroyPeers() override;

 private:
  void AddChild(TControl* control);
  void RemoveChild(TControl* control);
  std::vector<TControl*> controls_;
  std::vector<TWinControl*> tabOrder_;
  bool tabStop_ = true;
  // The tab order a stored form asked for; unset ones go last.
  int storedTabOrder_ = INT_MAX;
  friend class TControl;
};

class TGraphicControl : public TControl {
  TKV_CLASS(TGraphicControl, TControl)
 public:
  explicit TGraphicControl(TComponent* owner) : TControl(owner) {}
};

// ---------------------------------------------------------------------------

class TLabel : public TGraphicControl {
  TKV_CLASS(TLabel, TGraphicControl)
 public:
  explicit TLabel(TComponent* owner);
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool v);
  bool WordWrap() const { return wordWrap_; }
  void SetWordWrap(bool v);
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool v);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v);

 private:
  bool autoSize_ = true;
  bool wordWrap_ = false;
  bool transparent_ = false;
  TAlignment alignment_ = taLeftJustify;
};

class TButtonControl : public TWinControl {
  TKV_CLASS(TButtonControl, TWinControl)
 public:
  explicit TButtonControl(TComponent* owner) : TWinControl(owner) {}
};

class TButton : public TButtonControl {
  TKV_CLASS(TButton, TButtonControl)
 public:
  explicit TButton(TComponent* owner);
  bool Default() const { return default_; }
  void SetDefault(bool v);
  bool Cancel() const { return cancel_; }
  void SetCancel(bool v);
  int ModalResult() const { return modalResult_; }
  void SetModalResult(int v) { modalResult_ = v; }

 private:
  bool default_ = false;
  bool cancel_ = false;
  int modalResult_ = 0;
};

// A push button with a picture (Glyph, XPM lines) and an optional caption.
class TBitBtn : public TButton {
  TKV_CLASS(TBitBtn, TButton)
 public:
  explicit TBitBtn(TComponent* owner);
  TPicture& Glyph() { return glyph_; }
  const TPicture& Glyph() const { return glyph_; }

 private:
  TPicture glyph_;
};

// Radio buttons with the same parent form one group: checking one unchecks
// the others. A click by the user moves the check mark first, then runs
// OnClick.
class TRadioButton : public TButtonControl {
  TKV_CLASS(TRadioButton, TButtonControl)
 public:
  explicit TRadioButton(TComponent* owner);
  bool Checked() const { return checked_; }
  void SetChecked(bool v);
  // What a click of the user does: check this button, then Click().
  void UserClick();

 private:
  bool checked_ = false;
};

class TCheckBox : public TButtonControl {
  TKV_CLASS(TCheckBox, TButtonControl)
 public:
  explicit TCheckBox(TComponent* owner);
  bool Checked() const { return checked_; }
  void SetChecked(bool v);
  void UserClick();

 private:
  bool checked_ = false;
};

// ---------------------------------------------------------------------------

class TCustomEdit : public TWinControl {
  TKV_CLASS(TCustomEdit, TWinControl)
 public:
  explicit TCustomEdit(TComponent* owner);
  virtual std::string Text() const { return text_; }
  virtual void SetText(const std::string& v);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v);
  int MaxLength() const { return maxLength_; }
  void SetMaxLength(int v) { maxLength_ = v; }
  TNotifyEvent OnChange;

 protected:
  virtual void DoChange();
  void PublishText();

 private:
  std::string text_;
  bool readOnly_ = false;
  int maxLength_ = 0;
};

class TEdit : public TCustomEdit {
  TKV_CLASS(TEdit, TCustomEdit)
 public:
  explicit TEdit(TComponent* owner);
};

class TMaskEdit : public TCustomEdit {
  TKV_CLASS(TMaskEdit, TCustomEdit)
 public:
  explicit TMaskEdit(TComponent* owner);
  const std::string& EditMask() const { return editMask_; }
  void SetEditMask(const std::string& v) { editMask_ = v; }

 private:
  std::string editMask_;
};

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

// Multi-line text. Lines are the lines of the text as given (WordWrap only
// changes how they are shown). Text is every line followed by CR LF;
// replacing it cuts at CR LF, a lone CR or a lone LF.
class TCustomMemo : public TCustomEdit {
  TKV_CLASS(TCustomMemo, TCustomEdit)
 public:
  explicit TCustomMemo(TComponent* owner);
  TStrings& Lines() { return lines_; }
  const TStrings& Lines() const { return lines_; }
  std::string Text() const override { return lines_.Text(); }
  void SetText(const std::string& v) override { lines_.SetText(v); }
  void Clear() { lines_.Clear(); }
  bool WordWrap() const { return wordWrap_; }
  void SetWordWrap(bool v);
  TScrollStyle ScrollBars() const { return scrollBars_; }
  void SetScrollBars(TScrollStyle v);
  // Text typed by the user, from the backend.
  void UserSetText(const std::string& v);

 private:
  TStrings lines_;
  bool wordWrap_ = true;
  TScrollStyle scrollBars_ = ssNone;
  bool fromUser_ = false;
};

class TMemo : public TCustomMemo {
  TKV_CLASS(TMemo, TCustomMemo)
 public:
  explicit TMemo(TComponent* owner) : TCustomMemo(owner) {}
};

// ---------------------------------------------------------------------------

class TCustomListBox : public TWinControl {
  TKV_CLASS(TCustomListBox, TWinControl)
 public:
  explicit TCustomListBox(TComponent* owner);
  TStrings& Items() { return items_; }
  const TStrings& Items() const { return items_; }
  int ItemIndex() const { return itemIndex_; }
  void SetItemIndex(int v);
  bool Sorted() const { return sorted_; }
  void SetSorted(bool v);
  // A selection by the user, from the backend.
  void UserSelect(int index);

 protected:
  void ItemsChanged();

 private:
  TStrings items_;
  int itemIndex_ = -1;
  bool sorted_ = false;
  bool sorting_ = false;
};

class TListBox : public TCustomListBox {
  TKV_CLASS(TListBox, TCustomListBox)
 public:
  explicit TListBox(TComponent* owner);
};

// The files of a folder whose names match a mask, sorted ignoring case.
// Only regular files are listed (no folders, no hidden dot-files).
//
// Directory is a path of the system ("C:\Program_TKV1", mapped to the local
// drive folder) or a native path. Mask is one or more patterns separated by
// ';' ("*.*", "*.exe;*.txt"); "*" matches any run of characters, "?" any one
// character, letter case is ignored, and "*.*" matches every name, with a dot
// or without. A folder part in front of the pattern ("C:\Program_TKV\*.*")
// is ignored: the list shows Directory. Update re-reads the folder.
class TFileListBox : public TCustomListBox {
  TKV_CLASS(TFileListBox, TCustomListBox)
 public:
  explicit TFileListBox(TComponent* owner);
  const std::string& Directory() const { return directory_; }
  void SetDirectory(const std::string& v);
  const std::string& Mask() const { return mask_; }
  void SetMask(const std::string& v);
  // Re-reads the folder (an unreadable folder lists nothing).
  void Update();
  // The native folder that is listed.
  std::string NativeDirectory() const;
  void AfterLoad() override { Update(); }

 private:
  std::string directory_;
  std::string mask_ = "*.*";
};

// True when a file name matches a mask of the file list (rules above).
bool MatchesFileMask(std::string_view name, std::string_view mask);

enum TComboBoxStyle { csDropDown, csSimple, csDropDownList, csOwnerDrawFixed, csOwnerDrawVariable };

class TComboBox : public TWinControl {
  TKV_CLASS(TComboBox, TWinControl)
 public:
  explicit TComboBox(TComponent* owner);
  TStrings& Items() { return items_; }
  const TStrings& Items() const { return items_; }
  int ItemIndex() const { return itemIndex_; }
  void SetItemIndex(int v);
  const std::string& Text() const { return text_; }
  void SetText(const std::string& v);
  TComboBoxStyle Style() const { return style_; }
  void SetStyle(TComboBoxStyle v);
  bool Sorted() const { return sorted_; }
  void SetSorted(bool v);
  void UserSelect(int index);
  TNotifyEvent OnChange;

 private:
  void ItemsChanged();
  TStrings items_;
  int itemIndex_ = -1;
  std::string text_;
  TComboBoxStyle style_ = csDropDown;
  bool sorted_ = false;
  bool sorting_ = false;
};

class TRadioGroup : public TWinControl {
  TKV_CLASS(TRadioGroup, TWinControl)
 public:
  explicit TRadioGroup(TComponent* owner);
  TStrings& Items() { return items_; }
  const TStrings& Items() const { return items_; }
  int ItemIndex() const { return itemIndex_; }
  void SetItemIndex(int v);
  int Columns() const { return columns_; }
  void SetColumns(int v);

 private:
  TStrings items_;
  int itemIndex_ = -1;
  int columns_ = 1;
};

// ---------------------------------------------------------------------------

// An item with a text and a width: a panel of a status bar, a section of a
// header control.
class TTextItem : public TCollectionItem {
  TKV_CLASS(TTextItem, TCollectionItem)
 public:
  explicit TTextItem(TCollection* collection);
  const std::string& Text() const { return text_; }
  void SetText(const std::string& v);
  int Width() const { return width_; }
  void SetWidth(int v);

 private:
  std::string text_;
  int width_ = 50;
};

class TStatusPanel : public TTextItem {
  TKV_CLASS(TStatusPanel, TTextItem)
 public:
  explicit TStatusPanel(TCollection* collection) : TTextItem(collection) {}
};

// A status bar: with SimplePanel it shows SimpleText across its width,
// otherwise its panels from left to right.
class TStatusBar : public TWinControl {
  TKV_CLASS(TStatusBar, TWinControl)
 public:
  explicit TStatusBar(TComponent* owner);
  bool SimplePanel() const { return simplePanel_; }
  void SetSimplePanel(bool v);
  const std::string& SimpleText() const { return simpleText_; }
  void SetSimpleText(const std::string& v);
  TCollection& Panels() { return panels_; }
  const TCollection& Panels() const { return panels_; }
  TStatusPanel* Panel(int index) const { return static_cast<TStatusPanel*>(panels_.Items(index)); }

 private:
  bool simplePanel_ = false;
  std::string simpleText_;
  TCollection panels_;
};

// A picture (XPM lines).
class TImage : public TGraphicControl {
  TKV_CLASS(TImage, TGraphicControl)
 public:
  explicit TImage(TComponent* owner);
  TPicture& Picture() { return picture_; }
  const TPicture& Picture() const { return picture_; }
  bool Stretch() const { return stretch_; }
  void SetStretch(bool v);
  bool Center() const { return center_; }
  void SetCenter(bool v);

 private:
  TPicture picture_;
  bool stretch_ = false;
  bool center_ = false;
};

// ---------------------------------------------------------------------------

// A periodic timer on the message loop. It runs while Enabled and Interval is
// above 0, and calls OnTimer every Interval ms. Enabling a running timer
// keeps its period; disabling and enabling starts a new period, and so does
// a new Interval. Not started while its form is loading: it starts in
// AfterLoad.
class TTimer : public TComponent {
  TKV_CLASS(TTimer, TComponent)
 public:
  explicit TTimer(TComponent* owner);
  ~TTimer() override;
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v);
  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned v);
  // Whether the timer is now running on the loop.
  bool Running() const { return timerId_ != 0; }
  TNotifyEvent OnTimer;
  void AfterLoad() override;

 protected:
  virtual void DoTimer();

 private:
  // Stops the timer and starts it anew when it should run (not while its
  // form is loading, unless loaded).
  void UpdateTimer(bool loaded = false);
  bool enabled_ = true;
  unsigned interval_ = 1000;
  unsigned timerId_ = 0;
};

// An action: a command that controls link to (their Action property).
class TAction : public TComponent {
  TKV_CLASS(TAction, TComponent)
 public:
  explicit TAction(TComponent* owner);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v) { caption_ = v; }
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& v) { hint_ = v; }
  bool Execute();
  TNotifyEvent OnExecute;

 private:
  std::string caption_;
  std::string hint_;
};

class TMenuItem : public TComponent {
  TKV_CLASS(TMenuItem, TComponent)
 public:
  explicit TMenuItem(TComponent* owner);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v) { caption_ = v; }
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& v) { hint_ = v; }
  bool Checked() const { return checked_; }
  void SetChecked(bool v) { checked_ = v; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v) { enabled_ = v; }
  TAction* Action() const { return action_; }
  virtual void Click();
  TNotifyEvent OnClick;

 private:
  std::string caption_;
  std::string hint_;
  bool checked_ = false;
  bool enabled_ = true;
  TAction* action_ = nullptr;
};

// ---------------------------------------------------------------------------

enum TSortType { stNone, stData, stText, stBoth };

class TTreeNodes;

class TTreeNode {
 public:
  const std::string& Text() const { return text_; }
  void SetText(const std::string& v);
  TTreeNode* Parent() const { return parent_; }
  int Level() const;
  int Count() const { return static_cast<int>(children_.size()); }
  TTreeNode* Item(int index) const { return children_.at(static_cast<std::size_t>(index)); }

 private:
  friend class TTreeNodes;
  TTreeNodes* owner_ = nullptr;
  TTreeNode* parent_ = nullptr;
  std::string text_;
  std::vector<TTreeNode*> children_;
};

// The nodes of a tree view, counted in flat order (parents before their
// children, siblings in order).
class TTreeNodes {
 public:
  explicit TTreeNodes(std::function<void()> changed) : changed_(std::move(changed)) {}
  int Count() const { return static_cast<int>(nodes_.size()); }
  TTreeNode* Item(int index) const;  // in flat order
  // A node at the end of the top level, or at the end of parent's children.
  TTreeNode* Add(TTreeNode* parent, const std::string& text);
  void Clear();
  // Sorts siblings by text (ignoring ASCII case) when sorted is true.
  void SetSorted(bool sorted);
  bool Sorted() const { return sorted_; }

 private:
  friend class TTreeNode;
  void Reorder();
  void NodeChanged();
  std::vector<std::unique_ptr<TTreeNode>> nodes_;  // storage
  std::vector<TTreeNode*> roots_;
  std::vector<TTreeNode*> flat_;
  std::function<void()> changed_;
  bool sorted_ = false;
};

class TTreeView : public TWinControl {
  TKV_CLASS(TTreeView, TWinControl)
 public:
  explicit TTreeView(TComponent* owner);
  TTreeNodes& Items() { return items_; }
  TSortType SortType() const { return sortType_; }
  void SetSortType(TSortType v);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }

 private:
  TTreeNodes items_;
  TSortType sortType_ = stNone;
  bool readOnly_ = false;
};

class TListColumn : public TCollectionItem {
  TKV_CLASS(TListColumn, TCollectionItem)
 public:
  explicit TListColumn(TCollection* collection);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v);
  int Width() const { return width_; }
  void SetWidth(int v);

 private:
  std::string caption_;
  int width_ = 50;
};

class TListItem {
 public:
  explicit TListItem(std::function<void()> changed);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v);
  TStrings& SubItems() { return subItems_; }

 private:
  std::string caption_;
  TStrings subItems_;
  std::function<void()> changed_;
};

class TListView : public TWinControl {
  TKV_CLASS(TListView, TWinControl)
 public:
  explicit TListView(TComponent* owner);
  TCollection& Columns() { return columns_; }
  TListColumn* Column(int index) const { return static_cast<TListColumn*>(columns_.Items(index)); }
  int ItemCount() const { return static_cast<int>(items_.size()); }
  TListItem* Item(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }
  TListItem* AddItem(const std::string& caption);
  void ClearItems();
  // Items are kept sorted by caption (ignoring ASCII case) for stText and
  // stBoth.
  TSortType SortType() const { return sortType_; }
  void SetSortType(TSortType v);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }

 private:
  void ItemsChanged();
  TCollection columns_;
  std::vector<std::unique_ptr<TListItem>> items_;
  TSortType sortType_ = stNone;
  bool readOnly_ = false;
  bool sorting_ = false;
};

class THeaderSection : public TTextItem {
  TKV_CLASS(THeaderSection, TTextItem)
 public:
  explicit THeaderSection(TCollection* collection) : TTextItem(collection) {}
};

class THeaderControl : public TWinControl {
  TKV_CLASS(THeaderControl, TWinControl)
 public:
  explicit THeaderControl(TComponent* owner);
  TCollection& Sections() { return sections_; }
  THeaderSection* Section(int index) const {
    return static_cast<THeaderSection*>(sections_.Items(index));
  }

 private:
  TCollection sections_;
};

class TTabControl : public TWinControl {
  TKV_CLASS(TTabControl, TWinControl)
 public:
  explicit TTabControl(TComponent* owner);
  TStrings& Tabs() { return tabs_; }
  int TabIndex() const { return tabIndex_; }
  void SetTabIndex(int v);

 private:
  TStrings tabs_;
  int tabIndex_ = -1;
};

// ---------------------------------------------------------------------------

class TCommonDialog : public TComponent {
  TKV_CLASS(TCommonDialog, TComponent)
 public:
  explicit TCommonDialog(TComponent* owner) : TComponent(owner) {}
};

// File dialogs hold their settings; Execute is not offered by this build's
// backends and returns false.
class TOpenDialog : public TCommonDialog {
  TKV_CLASS(TOpenDialog, TCommonDialog)
 public:
  explicit TOpenDialog(TComponent* owner);
  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& v) { title_ = v; }
  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& v) { filter_ = v; }
  int FilterIndex() const { return filterIndex_; }
  void SetFilterIndex(int v) { filterIndex_ = v; }
  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& v) { fileName_ = v; }
  const std::string& InitialDir() const { return initialDir_; }
  void SetInitialDir(const std::string& v) { initialDir_ = v; }
  const std::string& DefaultExt() const { return defaultExt_; }
  void SetDefaultExt(const std::string& v) { defaultExt_ = v; }
  virtual bool Execute() { return false; }

 private:
  std::string title_;
  std::string filter_;
  int filterIndex_ = 1;
  std::string fileName_;
  std::string initialDir_;
  std::string defaultExt_;
};

class TSaveDialog : public TOpenDialog {
  TKV_CLASS(TSaveDialog, TOpenDialog)
 public:
  explicit TSaveDialog(TComponent* owner) : TOpenDialog(owner) {}
};
