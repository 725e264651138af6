// The form reader: builds a form from its stored description, a readable
// text (the format is described in docs/forms.md):
//
//   object GetUpdateFile: TGetUpdateFile
//     Caption = 'Program Installation System'
//     object btnExit: TButton
//       Left = 452
//       Caption = 'Exit'
//       OnClick = btnExitClick
//     end
//   end
//
// The outer object is the root that is read into; every nested object is
// created by its registered class name (RegisterComponentClass), owned by
// the root, and placed on the enclosing object when that is a windowed
// control. Properties are set by name, in the order they stand. References
// to components and event bindings are resolved once every object exists.
// Then every component's AfterLoad runs (in reading order, the root last),
// while the root and all read components are still in csLoading; the state
// is cleared afterwards.
//
// A bad description raises EReadError naming the source and the line; the
// components created so far stay owned by the root.
//
// Threads: the main thread only.
#pragma once

#include <string>
#include <string_view>

#include "platform/toolkit/Classes.h"

class EReadError : public platform::Exception {
 public:
  EReadError(const std::string& message, int line) : platform::Exception(message), line_(line) {}
  // The line of the description the error was found on (1 is the first).
  int Line() const { return line_; }

 private:
  int line_;
};

void ReadStoredForm(TComponent& root, std::string_view text, const std::string& sourceName);
