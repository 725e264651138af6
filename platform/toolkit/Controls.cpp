#include "platform/toolkit/Controls.h"

#include <algorithm>

#include "platform/toolkit/Forms.h"

namespace {

const std::vector<std::pair<std::string, int>>& ColorConstants() {
  static const std::vector<std::pair<std::string, int>> constants = {
      {"clBlack", clBlack},    {"clMaroon", clMaroon},   {"clGreen", clGreen},
      {"clOlive", clOlive},    {"clNavy", clNavy},       {"clPurple", clPurple},
      {"clTeal", clTeal},      {"clGray", clGray},       {"clSilver", clSilver},
      {"clRed", clRed},        {"clLime", clLime},       {"clYellow", clYellow},
      {"clBlue", clBlue},      {"clFuchsia", clFuchsia}, {"clAqua", clAqua},
      {"clWhite", clWhite},    {"clWindow", clWindow},   {"clWindowText", clWindowText},
      {"clBtnFace", clBtnFace}};
  return constants;
}

const std::vector<std::pair<std::string, int>>& CharSetConstants() {
  static const std::vector<std::pair<std::string, int>> constants = {
      {"ANSI_CHARSET", ANSI_CHARSET},
      {"DEFAULT_CHARSET", DEFAULT_CHARSET},
      {"SYMBOL_CHARSET", SYMBOL_CHARSET},
      {"SHIFTJIS_CHARSET", SHIFTJIS_CHARSET},
      {"HANGEUL_CHARSET", HANGEUL_CHARSET},
      {"GB2312_CHARSET", GB2312_CHARSET},
      {"CHINESEBIG5_CHARSET", CHINESEBIG5_CHARSET},
      {"OEM_CHARSET", OEM_CHARSET}};
  return constants;
}

const std::vector<std::string> kAlignments = {"taLeftJustify", "taRightJustify", "taCenter"};
const std::vector<std::string> kSortTypes = {"stNone", "stData", "stText", "stBoth"};

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  return LowerCase(a) < LowerCase(b);
}

// Sorts a list in place when asked, guarding against the change notice that
// the sort itself causes.
void SortStrings(TStrings& list, bool& sorting) {
  if (sorting) return;
  std::vector<std::string> lines = list.Lines();
  std::stable_sort(lines.begin(), lines.end(), LessIgnoringCase);
  if (lines == list.Lines()) return;
  sorting = true;
  list.BeginUpdate();
  for (int i = 0; i < list.Count(); ++i)
    list.SetStrings(i, lines[static_cast<std::size_t>(i)]);
  list.EndUpdate();
  sorting = false;
}

}  // namespace

std::uint32_t ColorToRgb(TColor color) {
  const auto c = static_cast<std::uint32_t>(color);
  std::uint32_t bgr = c & 0xFFFFFFu;
  if ((c & 0x80000000u) != 0) {
    switch (c & 0xFFu) {
      case 0x05:
        bgr = 0xFFFFFF;
        break;  // window
      case 0x08:
        bgr = 0x000000;
        break;  // window text
      case 0x0F:
        bgr = 0xD8D8D8;
        break;  // button face
      default:
        bgr = 0x808080;
        break;
    }
  }
  return ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
}

// ---------------------------------------------------------------------------

TFont::TFont() {
  PublishString(
      "Name", [this] { return name_; }, [this](const std::string& v) { SetName(v); });
  PublishInteger(
      "CharSet", [this] { return charSet_; }, [this](int v) { SetCharSet(v); }, CharSetConstants());
  PublishInteger(
      "Height", [this] { return height_; }, [this](int v) { SetHeight(v); });
  PublishInteger(
      "Size", [this] { return Size(); }, [this](int v) { SetSize(v); });
  PublishInteger(
      "Color", [this] { return color_; }, [this](int v) { SetColor(v); }, ColorConstants());
  PublishSet(
      "Style", {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"}, [this] { return style_; },
      [this](unsigned v) { SetStyle(v); });
}

void TFont::SetName(const std::string& name) {
  if (name == name_) return;
  name_ = name;
  Changed();
}

void TFont::SetCharSet(int charSet) {
  if (charSet == charSet_) return;
  charSet_ = charSet;
  Changed();
}

void TFont::SetHeight(int height) {
  if (height == height_) return;
  height_ = height;
  Changed();
}

int TFont::Size() const {
  return -height_ * 72 / 96;
}

void TFont::SetSize(int size) {
  SetHeight(-size * 96 / 72);
}

void TFont::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  Changed();
}

void TFont::SetStyle(unsigned style) {
  if (style == style_) return;
  style_ = style;
  Changed();
}

int TFont::PixelHeight() const {
  return height_ < 0 ? -height_ : height_ * 3 / 4;
}

void TFont::Assign(const TFont& other) {
  if (&other == this) return;
  name_ = other.name_;
  charSet_ = other.charSet_;
  height_ = other.height_;
  color_ = other.color_;
  style_ = other.style_;
  Changed();
}

void TFont::Changed() {
  if (OnChange) OnChange();
}

// ---------------------------------------------------------------------------

TControl::TControl(TComponent* owner) : TComponent(owner) {
  PublishInteger(
      "Left", [this] { return left_; }, [this](int v) { SetLeft(v); });
  PublishInteger(
      "Top", [this] { return top_; }, [this](int v) { SetTop(v); });
  PublishInteger(
      "Width", [this] { return width_; }, [this](int v) { SetWidth(v); });
  PublishInteger(
      "Height", [this] { return height_; }, [this](int v) { SetHeight(v); });
  PublishBoolean(
      "Visible", [this] { return visible_; }, [this](bool v) { SetVisible(v); });
  PublishBoolean(
      "Enabled", [this] { return enabled_; }, [this](bool v) { SetEnabled(v); });
  PublishString(
      "Hint", [this] { return hint_; }, [this](const std::string& v) { SetHint(v); });
  PublishBoolean(
      "ShowHint", [this] { return showHint_; }, [this](bool v) { SetShowHint(v); });
  PublishInteger(
      "Color", [this] { return color_; }, [this](int v) { SetColor(v); }, ColorConstants());
  PublishObject("Font", &font_);
  PublishBoolean(
      "ParentFont", [this] { return parentFont_; }, [this](bool v) { SetParentFont(v); });
  PublishEvent("OnClick", OnClick);
  // A font set on the control itself stops it following its parent's.
  font_.OnChange = [this] {
    if (!copyingFont_) parentFont_ = false;
    Changed();
    if (auto* self = dynamic_cast<TWinControl*>(this))
      for (TControl* child : self->controls_)
        child->ParentFontChanged();
  };
}

TControl::~TControl() {
  peer_.reset();
  if (parent_ != nullptr) parent_->RemoveChild(this);
}

void TControl::PublishCaption() {
  PublishString(
      "Caption", [this] { return caption_; }, [this](const std::string& v) { SetCaption(v); });
}

void TControl::PublishAction() {
  PublishComponent("Action", action_);
}

void TControl::PublishTabOrder() {
  auto* self = dynamic_cast<TWinControl*>(this);
  PublishInteger(
      "TabOrder", [self] { return self->TabOrder(); }, [self](int v) { self->SetTabOrder(v); });
  PublishBoolean(
      "TabStop", [self] { return self->TabStop(); }, [self](bool v) { self->SetTabStop(v); });
}

void TControl::SetBounds(int left, int top, int width, int height) {
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Changed();
}

void TControl::SetVisible(bool v) {
  if (v == visible_) return;
  visible_ = v;
  Changed();
  VisibleChanged();
}

void TControl::SetEnabled(bool v) {
  if (v == enabled_) return;
  enabled_ = v;
  Changed();
}

void TControl::SetHint(const std::string& v) {
  if (v == hint_) return;
  hint_ = v;
  Changed();
}

void TControl::SetShowHint(bool v) {
  if (v == showHint_) return;
  showHint_ = v;
  Changed();
}

void TControl::SetColor(TColor v) {
  if (v == color_) return;
  color_ = v;
  Changed();
}

void TControl::SetParentFont(bool v) {
  parentFont_ = v;
  if (v) ParentFontChanged();
}

void TControl::ParentFontChanged() {
  if (!parentFont_ || parent_ == nullptr) return;
  copyingFont_ = true;
  font_.Assign(parent_->Font());
  copyingFont_ = false;
}

void TControl::SetCaption(const std::string& v) {
  if (v == caption_) return;
  caption_ = v;
  Changed();
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  if (parent == this) throw EComponentError("A control cannot be its own parent");
  DestroyPeers();
  if (parent_ != nullptr) parent_->RemoveChild(this);
  parent_ = parent;
  if (parent_ != nullptr) {
    parent_->AddChild(this);
    ParentFontChanged();
    if (parent_->Peer() != nullptr) CreatePeers();
  }
}

TCustomForm* TControl::ParentForm() const {
  const TControl* c = this;
  while (c != nullptr) {
    if (auto* form = dynamic_cast<const TCustomForm*>(c)) return const_cast<TCustomForm*>(form);
    c = c->parent_;
  }
  return nullptr;
}

void TControl::Click() {
  DoClick();
}

void TControl::DoClick() {
  if (OnClick) {
    OnClick(this);
  } else if (action_ != nullptr) {
    action_->Execute();
  }
}

void TControl::Invalidate() {
  Changed();
}

void TControl::Changed() {
  if (peer_ != nullptr) peer_->Update();
}

void TControl::MakePeer() {
  if (peer_ == nullptr) peer_ = platform::ToolkitBackend().CreatePeer(*this);
}

void TControl::CreatePeers() {
  MakePeer();
  Changed();
}

void TControl::DestroyPeers() {
  peer_.reset();
}

// ---------------------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
  // Children's widgets live inside this control's widget: they go first.
  const std::vector<TControl*> children = controls_;
  for (TControl* child : children) {
    child->DestroyPeers();
    child->parent_ = nullptr;
  }
  controls_.clear();
  tabOrder_.clear();
}

TControl* TWinControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount())
    throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
  return controls_[static_cast<std::size_t>(index)];
}

void TWinControl::AddChild(TControl* control) {
  controls_.push_back(control);
  if (auto* win = dynamic_cast<TWinControl*>(control)) tabOrder_.push_back(win);
}

void TWinControl::RemoveChild(TControl* control) {
  controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
  tabOrder_.erase(std::remove(tabOrder_.begin(), tabOrder_.end(), control), tabOrder_.end());
}

int TWinControl::TabOrder() const {
  if (Parent() == nullptr) return -1;
  const auto& list = Parent()->tabOrder_;
  auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void TWinControl::SetTabOrder(int order) {
  if (Parent() == nullptr) return;
  auto& list = Parent()->tabOrder_;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  int at = std::clamp(order, 0, static_cast<int>(list.size()));
  if (IsLoading()) {
    // A stored form gives each control its final place before the siblings
    // that come later exist: keep the siblings sorted by the places asked.
    storedTabOrder_ = order;
    at = 0;
    while (at < static_cast<int>(list.size()) && list[at]->storedTabOrder_ <= order)
      ++at;
  }
  list.insert(list.begin() + at, this);
}

std::vector<TWinControl*> TWinControl::TabList() const {
  return tabOrder_;
}

void TWinControl::CreatePeers() {
  TControl::CreatePeers();
  for (TControl* child : controls_)
    child->CreatePeers();
}

void TWinControl::DestroyPeers() {
  for (TControl* child : controls_)
    child->DestroyPeers();
  TControl::DestroyPeers();
}

// ---------------------------------------------------------------------------

TLabel::TLabel(TComponent* owner) : TGraphicControl(owner) {
  PublishCaption();
  PublishBoolean(
      "AutoSize", [this] { return autoSize_; }, [this](bool v) { SetAutoSize(v); });
  PublishBoolean(
      "WordWrap", [this] { return wordWrap_; }, [this](bool v) { SetWordWrap(v); });
  PublishBoolean(
      "Transparent", [this] { return transparent_; }, [this](bool v) { SetTransparent(v); });
  PublishEnumeration(
      "Alignment", kAlignments, [this] { return static_cast<int>(alignment_); },
      [this](int v) { SetAlignment(static_cast<TAlignment>(v)); });
}

void TLabel::SetAutoSize(bool v) {
  autoSize_ = v;
  Changed();
}

void TLabel::SetWordWrap(bool v) {
  wordWrap_ = v;
  Changed();
}

void TLabel::SetTransparent(bool v) {
  transparent_ = v;
  Changed();
}

void TLabel::SetAlignment(TAlignment v) {
  alignment_ = v;
  Changed();
}

// ---------------------------------------------------------------------------

TButton::TButton(TComponent* owner) : TButtonControl(owner) {
  PublishCaption();
  PublishAction();
  PublishTabOrder();
  PublishBoolean(
      "Default", [this] { return default_; }, [this](bool v) { SetDefault(v); });
  PublishBoolean(
      "Cancel", [this] { return cancel_; }, [this](bool v) { SetCancel(v); });
  PublishInteger(
      "ModalResult", [this] { return modalResult_; }, [this](int v) { SetModalResult(v); });
}

void TButton::SetDefault(bool v) {
  default_ = v;
  Changed();
}

void TButton::SetCancel(bool v) {
  cancel_ = v;
}

TBitBtn::TBitBtn(TComponent* owner) : TButton(owner) {
  PublishStrings("Glyph", &glyph_);
  glyph_.OnChange = [this] { Changed(); };
}

TRadioButton::TRadioButton(TComponent* owner) : TButtonControl(owner) {
  PublishCaption();
  PublishAction();
  PublishTabOrder();
  PublishBoolean(
      "Checked", [this] { return checked_; }, [this](bool v) { SetChecked(v); });
}

void TRadioButton::SetChecked(bool v) {
  if (v == checked_) return;
  checked_ = v;
  if (v && Parent() != nullptr) {
    for (int i = 0; i < Parent()->ControlCount(); ++i) {
      auto* other = dynamic_cast<TRadioButton*>(Parent()->Controls(i));
      if (other != nullptr && other != this) other->SetChecked(false);
    }
  }
  Changed();
}

void TRadioButton::UserClick() {
  SetChecked(true);
  Click();
}

TCheckBox::TCheckBox(TComponent* owner) : TButtonControl(owner) {
  PublishCaption();
  PublishAction();
  PublishTabOrder();
  PublishBoolean(
      "Checked", [this] { return checked_; }, [this](bool v) { SetChecked(v); });
}

void TCheckBox::SetChecked(bool v) {
  if (v == checked_) return;
  checked_ = v;
  Changed();
}

void TCheckBox::UserClick() {
  SetChecked(!checked_);
  Click();
}

// ---------------------------------------------------------------------------

TCustomEdit::TCustomEdit(TComponent* owner) : TWinControl(owner) {
  PublishTabOrder();
  PublishBoolean(
      "ReadOnly", [this] { return readOnly_; }, [this](bool v) { SetReadOnly(v); });
  PublishInteger(
      "MaxLength", [this] { return maxLength_; }, [this](int v) { SetMaxLength(v); });
  PublishEvent("OnChange", OnChange);
}

void TCustomEdit::SetText(const std::string& v) {
  if (v == text_) return;
  text_ = v;
  Changed();
  DoChange();
}

void TCustomEdit::SetReadOnly(bool v) {
  readOnly_ = v;
  Changed();
}

void TCustomEdit::DoChange() {
  if (OnChange) OnChange(this);
}

void TCustomEdit::PublishText() {
  PublishString(
      "Text", [this] { return Text(); }, [this](const std::string& v) { SetText(v); });
}

TEdit::TEdit(TComponent* owner) : TCustomEdit(owner) {
  PublishText();
}

TMaskEdit::TMaskEdit(TComponent* owner) : TCustomEdit(owner) {
  PublishText();
  PublishString(
      "EditMask", [this] { return editMask_; }, [this](const std::string& v) { SetEditMask(v); });
}

TCustomMemo::TCustomMemo(TComponent* owner) : TCustomEdit(owner) {
  PublishStrings("Lines", &lines_);
  PublishBoolean(
      "WordWrap", [this] { return wordWrap_; }, [this](bool v) { SetWordWrap(v); });
  PublishEnumeration(
      "ScrollBars", {"ssNone", "ssHorizontal", "ssVertical", "ssBoth"},
      [this] { return static_cast<int>(scrollBars_); },
      [this](int v) { SetScrollBars(static_cast<TScrollStyle>(v)); });
  lines_.OnChange = [this] {
    // Text typed by the user is already shown.
    if (!fromUser_) Changed();
    DoChange();
  };
}

void TCustomMemo::SetWordWrap(bool v) {
  wordWrap_ = v;
  Changed();
}

void TCustomMemo::SetScrollBars(TScrollStyle v) {
  scrollBars_ = v;
  Changed();
}

void TCustomMemo::UserSetText(const std::string& v) {
  fromUser_ = true;
  try {
    lines_.SetText(v);
  } catch (...) {
    fromUser_ = false;
    throw;
  }
  fromUser_ = false;
}

// ---------------------------------------------------------------------------

TCustomListBox::TCustomListBox(TComponent* owner) : TWinControl(owner) {
  PublishTabOrder();
  PublishInteger(
      "ItemIndex", [this] { return itemIndex_; }, [this](int v) { SetItemIndex(v); });
  PublishBoolean(
      "Sorted", [this] { return sorted_; }, [this](bool v) { SetSorted(v); });
  items_.OnChange = [this] { ItemsChanged(); };
}

void TCustomListBox::ItemsChanged() {
  if (sorted_) SortStrings(items_, sorting_);
  if (sorting_) return;
  if (itemIndex_ >= items_.Count()) itemIndex_ = -1;
  Changed();
}

void TCustomListBox::SetItemIndex(int v) {
  itemIndex_ = (v >= 0 && v < items_.Count()) ? v : -1;
  Changed();
}

void TCustomListBox::SetSorted(bool v) {
  sorted_ = v;
  ItemsChanged();
}

void TCustomListBox::UserSelect(int index) {
  itemIndex_ = (index >= 0 && index < items_.Count()) ? index : -1;
  Click();
}

TListBox::TListBox(TComponent* owner) : TCustomListBox(owner) {
  PublishStrings("Items", &Items());
}

// ---------------------------------------------------------------------------

TComboBox::TComboBox(TComponent* owner) : TWinControl(owner) {
  PublishTabOrder();
  PublishStrings("Items", &items_);
  PublishInteger(
      "ItemIndex", [this] { return itemIndex_; }, [this](int v) { SetItemIndex(v); });
  PublishString(
      "Text", [this] { return text_; }, [this](const std::string& v) { SetText(v); });
  PublishEnumeration(
      "Style",
      {"csDropDown", "csSimple", "csDropDownList", "csOwnerDrawFixed", "csOwnerDrawVariable"},
      [this] { return static_cast<int>(style_); },
      [this](int v) { SetStyle(static_cast<TComboBoxStyle>(v)); });
  PublishBoolean(
      "Sorted", [this] { return sorted_; }, [this](bool v) { SetSorted(v); });
  PublishEvent("OnChange", OnChange);
  items_.OnChange = [this] { ItemsChanged(); };
}

void TComboBox::ItemsChanged() {
  if (sorted_) SortStrings(items_, sorting_);
  if (sorting_) return;
  if (itemIndex_ >= items_.Count()) itemIndex_ = -1;
  // The edit part shows the selected item.
  if (itemIndex_ >= 0) text_ = items_[itemIndex_];
  Changed();
}

void TComboBox::SetItemIndex(int v) {
  itemIndex_ = (v >= 0 && v < items_.Count()) ? v : -1;
  text_ = itemIndex_ >= 0 ? items_[itemIndex_] : std::string();
  Changed();
}

void TComboBox::SetText(const std::string& v) {
  text_ = v;
  const int at = items_.IndexOf(v);
  itemIndex_ = (at >= 0 && items_[at] == v) ? at : -1;
  Changed();
}

void TComboBox::SetStyle(TComboBoxStyle v) {
  style_ = v;
  Changed();
}

void TComboBox::SetSorted(bool v) {
  sorted_ = v;
  ItemsChanged();
}

void TComboBox::UserSelect(int index) {
  SetItemIndex(index);
  if (OnChange) OnChange(this);
}

TRadioGroup::TRadioGroup(TComponent* owner) : TWinControl(owner) {
  PublishCaption();
  PublishTabOrder();
  PublishStrings("Items", &items_);
  PublishInteger(
      "ItemIndex", [this] { return itemIndex_; }, [this](int v) { SetItemIndex(v); });
  PublishInteger(
      "Columns", [this] { return columns_; }, [this](int v) { SetColumns(v); });
  items_.OnChange = [this] {
    if (itemIndex_ >= items_.Count()) itemIndex_ = -1;
    Changed();
  };
}

void TRadioGroup::SetItemIndex(int v) {
  itemIndex_ = (v >= 0 && v < items_.Count()) ? v : -1;
  Changed();
}

void TRadioGroup::SetColumns(int v) {
  columns_ = std::max(1, v);
  Changed();
}

// ---------------------------------------------------------------------------

TTextItem::TTextItem(TCollection* collection) : TCollectionItem(collection) {
  PublishString(
      "Text", [this] { return text_; }, [this](const std::string& v) { SetText(v); });
  PublishInteger(
      "Width", [this] { return width_; }, [this](int v) { SetWidth(v); });
}

void TTextItem::SetText(const std::string& v) {
  text_ = v;
  Changed();
}

void TTextItem::SetWidth(int v) {
  width_ = v;
  Changed();
}

TStatusBar::TStatusBar(TComponent* owner)
    : TWinControl(owner),
      panels_([](TCollection* c) { return std::make_unique<TStatusPanel>(c); }) {
  PublishBoolean(
      "SimplePanel", [this] { return simplePanel_; }, [this](bool v) { SetSimplePanel(v); });
  PublishString(
      "SimpleText", [this] { return simpleText_; },
      [this](const std::string& v) { SetSimpleText(v); });
  PublishCollection("Panels", &panels_);
  panels_.OnChange = [this] { Changed(); };
}

void TStatusBar::SetSimplePanel(bool v) {
  simplePanel_ = v;
  Changed();
}

void TStatusBar::SetSimpleText(const std::string& v) {
  simpleText_ = v;
  Changed();
}

TImage::TImage(TComponent* owner) : TGraphicControl(owner) {
  PublishStrings("Picture", &picture_);
  PublishBoolean(
      "Stretch", [this] { return stretch_; }, [this](bool v) { SetStretch(v); });
  PublishBoolean(
      "Center", [this] { return center_; }, [this](bool v) { SetCenter(v); });
  picture_.OnChange = [this] { Changed(); };
}

void TImage::SetStretch(bool v) {
  stretch_ = v;
  Changed();
}

void TImage::SetCenter(bool v) {
  center_ = v;
  Changed();
}

// ---------------------------------------------------------------------------

TAction::TAction(TComponent* owner) : TComponent(owner) {
  PublishString(
      "Caption", [this] { return caption_; }, [this](const std::string& v) { SetCaption(v); });
  PublishString(
      "Hint", [this] { return hint_; }, [this](const std::string& v) { SetHint(v); });
  PublishEvent("OnExecute", OnExecute);
}

bool TAction::Execute() {
  if (!OnExecute) return false;
  OnExecute(this);
  return true;
}

TMenuItem::TMenuItem(TComponent* owner) : TComponent(owner) {
  PublishString(
      "Caption", [this] { return caption_; }, [this](const std::string& v) { SetCaption(v); });
  PublishString(
      "Hint", [this] { return hint_; }, [this](const std::string& v) { SetHint(v); });
  PublishBoolean(
      "Checked", [this] { return checked_; }, [this](bool v) { SetChecked(v); });
  PublishBoolean(
      "Enabled", [this] { return enabled_; }, [this](bool v) { SetEnabled(v); });
  PublishComponent("Action", action_);
  PublishEvent("OnClick", OnClick);
}

void TMenuItem::Click() {
  if (OnClick) {
    OnClick(this);
  } else if (action_ != nullptr) {
    action_->Execute();
  }
}

// ---------------------------------------------------------------------------

void TTreeNode::SetText(const std::string& v) {
  text_ = v;
  if (owner_ != nullptr) owner_->NodeChanged();
}

int TTreeNode::Level() const {
  int level = 0;
  for (const TTreeNode* p = parent_; p != nullptr; p = p->parent_)
    ++level;
  return level;
}

TTreeNode* TTreeNodes::Item(int index) const {
  if (index < 0 || index >= Count())
    throw EStringListError("Tree node index out of bounds (" + std::to_string(index) + ")");
  return flat_[static_cast<std::size_t>(index)];
}

TTreeNode* TTreeNodes::Add(TTreeNode* parent, const std::string& text) {
  auto node = std::make_unique<TTreeNode>();
  node->owner_ = this;
  node->parent_ = parent;
  node->text_ = text;
  TTreeNode* raw = node.get();
  nodes_.push_back(std::move(node));
  (parent != nullptr ? parent->children_ : roots_).push_back(raw);
  NodeChanged();
  return raw;
}

void TTreeNodes::Clear() {
  roots_.clear();
  flat_.clear();
  nodes_.clear();
  if (changed_) changed_();
}

void TTreeNodes::SetSorted(bool sorted) {
  sorted_ = sorted;
  NodeChanged();
}

void TTreeNodes::Reorder() {
  auto byText = [](const TTreeNode* a, const TTreeNode* b) {
    return LessIgnoringCase(a->text_, b->text_);
  };
  flat_.clear();
  std::function<void(std::vector<TTreeNode*>&)> walk = [&](std::vector<TTreeNode*>& level) {
    if (sorted_) std::stable_sort(level.begin(), level.end(), byText);
    for (TTreeNode* n : level) {
      flat_.push_back(n);
      walk(n->children_);
    }
  };
  walk(roots_);
}

void TTreeNodes::NodeChanged() {
  Reorder();
  if (changed_) changed_();
}

TTreeView::TTreeView(TComponent* owner) : TWinControl(owner), items_([this] { Changed(); }) {
  PublishTabOrder();
  PublishEnumeration(
      "SortType", kSortTypes, [this] { return static_cast<int>(sortType_); },
      [this](int v) { SetSortType(static_cast<TSortType>(v)); });
  PublishBoolean(
      "ReadOnly", [this] { return readOnly_; }, [this](bool v) { SetReadOnly(v); });
}

void TTreeView::SetSortType(TSortType v) {
  sortType_ = v;
  items_.SetSorted(v == stText || v == stBoth);
}

TListColumn::TListColumn(TCollection* collection) : TCollectionItem(collection) {
  PublishString(
      "Caption", [this] { return caption_; }, [this](const std::string& v) { SetCaption(v); });
  PublishInteger(
      "Width", [this] { return width_; }, [this](int v) { SetWidth(v); });
}

void TListColumn::SetCaption(const std::string& v) {
  caption_ = v;
  Changed();
}

void TListColumn::SetWidth(int v) {
  width_ = v;
  Changed();
}

TListItem::TListItem(std::function<void()> changed) : changed_(std::move(changed)) {
  subItems_.OnChange = [this] {
    if (changed_) changed_();
  };
}

void TListItem::SetCaption(const std::string& v) {
  caption_ = v;
  if (changed_) changed_();
}

TListView::TListView(TComponent* owner)
    : TWinControl(owner),
      columns_([](TCollection* c) { return std::make_unique<TListColumn>(c); }) {
  PublishTabOrder();
  PublishCollection("Columns", &columns_);
  PublishEnumeration(
      "SortType", kSortTypes, [this] { return static_cast<int>(sortType_); },
      [this](int v) { SetSortType(static_cast<TSortType>(v)); });
  PublishBoolean(
      "ReadOnly", [this] { return readOnly_; }, [this](bool v) { SetReadOnly(v); });
  columns_.OnChange = [this] { Changed(); };
}

TListItem* TListView::AddItem(const std::string& caption) {
  items_.push_back(std::make_unique<TListItem>([this] { ItemsChanged(); }));
  TListItem* item = items_.back().get();
  item->SetCaption(caption);
  return item;
}

void TListView::ClearItems() {
  items_.clear();
  Changed();
}

void TListView::SetSortType(TSortType v) {
  sortType_ = v;
  ItemsChanged();
}

void TListView::ItemsChanged() {
  if (sorting_) return;
  if (sortType_ == stText || sortType_ == stBoth) {
    sorting_ = true;
    std::stable_sort(items_.begin(), items_.end(), [](const auto& a, const auto& b) {
      return LessIgnoringCase(a->Caption(), b->Caption());
    });
    sorting_ = false;
  }
  Changed();
}

THeaderControl::THeaderControl(TComponent* owner)
    : TWinControl(owner),
      sections_([](TCollection* c) { return std::make_unique<THeaderSection>(c); }) {
  PublishCollection("Sections", &sections_);
  sections_.OnChange = [this] { Changed(); };
}

TTabControl::TTabControl(TComponent* owner) : TWinControl(owner) {
  PublishTabOrder();
  PublishStrings("Tabs", &tabs_);
  PublishInteger(
      "TabIndex", [this] { return tabIndex_; }, [this](int v) { SetTabIndex(v); });
  tabs_.OnChange = [this] {
    if (tabIndex_ >= tabs_.Count()) tabIndex_ = -1;
    Changed();
  };
}

void TTabControl::SetTabIndex(int v) {
  tabIndex_ = (v >= 0 && v < tabs_.Count()) ? v : -1;
  Changed();
}

// ---------------------------------------------------------------------------

TOpenDialog::TOpenDialog(TComponent* owner) : TCommonDialog(owner) {
  PublishString(
      "Title", [this] { return title_; }, [this](const std::string& v) { SetTitle(v); });
  PublishString(
      "Filter", [this] { return filter_; }, [this](const std::string& v) { SetFilter(v); });
  PublishInteger(
      "FilterIndex", [this] { return filterIndex_; }, [this](int v) { SetFilterIndex(v); });
  PublishString(
      "FileName", [this] { return fileName_; }, [this](const std::string& v) { SetFileName(v); });
  PublishString(
      "InitialDir", [this] { return initialDir_; },
      [this](const std::string& v) { SetInitialDir(v); });
  PublishString(
      "DefaultExt", [this] { return defaultExt_; },
      [this](const std::string& v) { SetDefaultExt(v); });
}
