// The headless backend: controls live in memory only, and message boxes are
// answered from a script that a test sets up beforehand.
//
// A box with no scripted answer, or whose scripted answer is not one of its
// buttons, is a fault of the test: by default the box is printed to stderr
// and the program aborts, so the test fails loudly (OnUnexpected may take
// it over instead).
//
// Threads: the main thread only.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/toolkit/Toolkit.h"

namespace platform {

struct TShownBox {
  std::string Caption;
  std::string Text;
  TMsgDlgType Type = mtCustom;
  std::vector<int> Buttons;
  TCustomForm* Owner = nullptr;
};

class THeadlessBoxScript {
 public:
  // The next box is answered with button. With until, the box stays open,
  // running the message loop, until until() is true (or WM_QUIT arrives).
  void Answer(int button, std::function<bool()> until = {});
  // Scripted answers not used yet.
  int Pending() const { return static_cast<int>(answers_.size()); }
  // Every box shown since the last Reset, in order.
  const std::vector<TShownBox>& Shown() const { return shown_; }
  // Forgets answers, shown boxes and OnUnexpected.
  void Reset();

  // Takes over an unexpected box: returns the button to answer with.
  std::function<int(const TShownBox& box, const std::string& why)> OnUnexpected;

  // The backend's side.
  int Show(const TMessageBoxRequest& request);

 private:
  struct TAnswer {
    int Button;
    std::function<bool()> Until;
  };
  std::deque<TAnswer> answers_;
  std::vector<TShownBox> shown_;
};

THeadlessBoxScript& HeadlessBoxes();

// Installs the headless backend (and the loop's own poll(2) wait).
void UseHeadlessBackend();

}  // namespace platform
