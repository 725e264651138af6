// The language component that forms use: the language table of MLBase.h
// with the rule for how each kind of control takes its texts.
//
// TranslateComponent decides which properties of one component receive
// texts, takes the texts of the active language group by group from the
// Words list, sets them, and reports the line after the last group it
// consumed. It never changes the Words list.
//
// Kinds, tested in this order (a component is of a kind when it is of that
// class or of a class derived from it):
//   list box           its Items, one line a group
//   form               its Caption (a form owned by the owner form)
//   radio group        its Caption, then its Items
//   memo               its Lines
//   tab control        its Tabs
//   tree view          its node texts in flat order, sorting off meanwhile
//   list view          its column captions, then each item's caption and
//                      sub-items, sorting off meanwhile
//   status bar         its SimpleText, then the Text of each panel
//   header control     the Text of each section
//   combo box          its Items, keeping the selected item index
//   open/save dialog   its Title, then its Filter
//   menu item          its Caption
//   any other          Caption when published, then Text when published
//                      (never the Text of a mask edit)
// A component with a Hint may be followed by a hint group, which sets the
// hint when its text is not empty.
//
// Threads: the main thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "lang/MLBase.h"

class TMultiLang : public TBaseMultiLang {
  TKV_CLASS(TMultiLang, TBaseMultiLang)
 public:
  explicit TMultiLang(TComponent* owner) : TBaseMultiLang(owner) {}

  void TranslateComponent(TComponent* component, int& index) override;

  // The text of the group at index for the active language, moving index to
  // the next group; nothing (and index unchanged) when the group has no line
  // for the active language.
  std::optional<std::string> NextText(int& index) const;
  // Gives the lines of strings the texts of the group at index and of the
  // continuation groups after it, one line a group; the lines left over
  // become empty. The number of lines never changes.
  void ApplyStrings(int& index, TStrings& strings) const;
  // Whether the component's own texts are replaced (its hint may be in any
  // case): not for a component linked to an action, and for edit-like
  // components as TranslateEdits says.
  bool MayTranslate(TComponent* component) const;

 private:
  // Hands the next text to set, if there is one.
  void NextTextInto(int& index, const std::function<void(const std::string&)>& set) const;
  bool AtContinuation(int index) const;
  void ApplyKind(TComponent* component, int& index) const;
};
