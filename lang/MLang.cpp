#include "lang/MLang.h"

#include <functional>

#include "platform/toolkit/Controls.h"
#include "platform/toolkit/Forms.h"

namespace {

// Stored forms name the class of their language component.
[[maybe_unused]] const bool kRegistered = (RegisterComponentClass<TMultiLang>(), true);

// Switches a sorted view's sorting off while its texts change and puts it
// back afterwards, also when a text cannot be set: the texts go to the items
// in the order the user sees them, and the view sorts them anew once.
template <class View>
class SortingOff {
 public:
  explicit SortingOff(View& view) : view_(view), sortType_(view.SortType()) {
    view_.SetSortType(stNone);
  }
  ~SortingOff() { view_.SetSortType(sortType_); }
  SortingOff(const SortingOff&) = delete;
  SortingOff& operator=(const SortingOff&) = delete;

 private:
  View& view_;
  TSortType sortType_;
};

}  // namespace

std::optional<std::string> TMultiLang::NextText(int& index) const {
  if (!HasText(index)) return std::nullopt;
  std::string text = GroupText(index);
  index += GroupSize();
  return text;
}

bool TMultiLang::AtContinuation(int index) const {
  return index >= 0 && index < Words().Count() && Words()[index] == kContinuationKey;
}

void TMultiLang::NextTextInto(int& index,
                              const std::function<void(const std::string&)>& set) const {
  if (std::optional<std::string> text = NextText(index)) set(*text);
}

void TMultiLang::ApplyStrings(int& index, TStrings& strings) const {
  if (!HasText(index) || strings.Count() == 0) return;
  int line = 0;
  for (;;) {
    if (std::optional<std::string> text = NextText(index)) strings.SetStrings(line, *text);
    ++line;
    if (index >= Words().Count() || !AtContinuation(index) || line >= strings.Count()) break;
  }
  for (; line < strings.Count(); ++line)
    strings.SetStrings(line, std::string());
}

bool TMultiLang::MayTranslate(TComponent* component) const {
  if (TranslateEdits() == teAlways) return true;
  if (component->HasProperty("Action") && component->GetObjectProp("Action") != nullptr)
    return false;
  if (component->HasProperty("ReadOnly") &&
      (component->HasProperty("Text") || component->HasProperty("Lines"))) {
    if (TranslateEdits() == teNever) return false;
    return component->GetBoolProp("ReadOnly").value_or(false);
  }
  return true;
}

void TMultiLang::TranslateComponent(TComponent* component, int& index) {
  RestorePosition(component);
  int current = index;
  const int start = current;
  if (MayTranslate(component)) ApplyKind(component, current);
  if (component->HasProperty("Hint")) {
    // A component that took no text still owns the group of its name.
    if (current == start) NextText(current);
    if (current < Words().Count() && SameText(Words()[current], kHintKey)) {
      std::optional<std::string> hint = NextText(current);
      if (hint && !hint->empty()) component->SetStrProp("Hint", *hint);
    }
  }
  index = current;
}

void TMultiLang::ApplyKind(TComponent* component, int& index) const {
  // Items counted one by one while the groups are continuation groups with
  // a text for the active language (tree nodes, header sections, list view
  // columns).
  auto eachItem = [&](int count, const std::function<void(int, const std::string&)>& apply) {
    for (int k = 0; HasText(index) && k < count; ++k) {
      apply(k, *NextText(index));
      if (index >= Words().Count() || !AtContinuation(index)) break;
    }
  };

  if (auto* listBox = dynamic_cast<TListBox*>(component)) {
    ApplyStrings(index, listBox->Items());
  } else if (auto* form = dynamic_cast<TCustomForm*>(component)) {
    NextTextInto(index, [&](const std::string& t) { form->SetCaption(t); });
  } else if (auto* radioGroup = dynamic_cast<TRadioGroup*>(component)) {
    NextTextInto(index, [&](const std::string& t) { radioGroup->SetCaption(t); });
    ApplyStrings(index, radioGroup->Items());
  } else if (auto* memo = dynamic_cast<TMemo*>(component)) {
    ApplyStrings(index, memo->Lines());
  } else if (auto* tabControl = dynamic_cast<TTabControl*>(component)) {
    ApplyStrings(index, tabControl->Tabs());
  } else if (auto* treeView = dynamic_cast<TTreeView*>(component)) {
    SortingOff sorting(*treeView);
    TTreeNodes& nodes = treeView->Items();
    eachItem(nodes.Count(), [&](int k, const std::string& text) { nodes.Item(k)->SetText(text); });
  } else if (auto* listView = dynamic_cast<TListView*>(component)) {
    eachItem(listView->Columns().Count(),
             [&](int k, const std::string& text) { listView->Column(k)->SetCaption(text); });
    SortingOff sorting(*listView);
    for (int k = 0; HasText(index) && AtContinuation(index) && k < listView->ItemCount(); ++k) {
      TListItem* item = listView->Item(k);
      item->SetCaption(*NextText(index));
      ApplyStrings(index, item->SubItems());
    }
  } else if (auto* statusBar = dynamic_cast<TStatusBar*>(component)) {
    NextTextInto(index, [&](const std::string& t) { statusBar->SetSimpleText(t); });
    for (int k = 0; HasText(index) && AtContinuation(index) && k < statusBar->Panels().Count(); ++k)
      statusBar->Panel(k)->SetText(*NextText(index));
  } else if (auto* header = dynamic_cast<THeaderControl*>(component)) {
    eachItem(header->Sections().Count(),
             [&](int k, const std::string& text) { header->Section(k)->SetText(text); });
  } else if (auto* comboBox = dynamic_cast<TComboBox*>(component)) {
    const int itemIndex = comboBox->ItemIndex();
    ApplyStrings(index, comboBox->Items());
    comboBox->SetItemIndex(itemIndex);
  } else if (auto* dialog = dynamic_cast<TOpenDialog*>(component)) {
    // A save dialog is an open dialog here and takes the same two texts.
    NextTextInto(index, [&](const std::string& t) { dialog->SetTitle(t); });
    NextTextInto(index, [&](const std::string& t) { dialog->SetFilter(t); });
  } else if (auto* menuItem = dynamic_cast<TMenuItem*>(component)) {
    NextTextInto(index, [&](const std::string& t) { menuItem->SetCaption(t); });
  } else {
    // Reached by name: a component that publishes neither takes no text.
    if (component->HasProperty("Caption"))
      NextTextInto(index, [&](const std::string& t) { component->SetStrProp("Caption", t); });
    if (dynamic_cast<TMaskEdit*>(component) == nullptr && component->HasProperty("Text"))
      NextTextInto(index, [&](const std::string& t) { component->SetStrProp("Text", t); });
  }
}
