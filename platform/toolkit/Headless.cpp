#include "platform/toolkit/Headless.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/Messages.h"
#include "platform/toolkit/Forms.h"

namespace platform {

namespace {

class THeadlessBackend : public TToolkitBackend {
 public:
  std::unique_ptr<TControlPeer> CreatePeer(TControl&) override { return nullptr; }
  int ShowMessageBox(const TMessageBoxRequest& request) override {
    return HeadlessBoxes().Show(request);
  }
};

std::unique_ptr<TToolkitBackend>& BackendSlot() {
  static std::unique_ptr<TToolkitBackend> backend;
  return backend;
}

std::string Describe(const TShownBox& box) {
  std::string buttons;
  for (int b : box.Buttons)
    buttons += (buttons.empty() ? "" : ",") + std::to_string(b);
  return "caption \"" + box.Caption + "\", text \"" + box.Text + "\", buttons " + buttons;
}

}  // namespace

TToolkitBackend& ToolkitBackend() {
  auto& slot = BackendSlot();
  if (slot == nullptr) slot = std::make_unique<THeadlessBackend>();
  return *slot;
}

void SetToolkitBackend(std::unique_ptr<TToolkitBackend> backend) {
  BackendSlot() = std::move(backend);
}

void UseHeadlessBackend() {
  SetToolkitBackend(std::make_unique<THeadlessBackend>());
  SetWaitSeam(nullptr);
}

THeadlessBoxScript& HeadlessBoxes() {
  static THeadlessBoxScript script;
  return script;
}

void THeadlessBoxScript::Answer(int button, std::function<bool()> until) {
  answers_.push_back({button, std::move(until)});
}

void THeadlessBoxScript::Reset() {
  answers_.clear();
  shown_.clear();
  OnUnexpected = nullptr;
}

int THeadlessBoxScript::Show(const TMessageBoxRequest& request) {
  TShownBox box{request.Caption, request.Text, request.Type, request.Buttons, request.Owner};
  shown_.push_back(box);
  auto unexpected = [&](const std::string& why) {
    if (OnUnexpected) return OnUnexpected(box, why);
    std::fprintf(stderr, "Unexpected message box (%s): %s\n", why.c_str(), Describe(box).c_str());
    std::fflush(stderr);
    std::abort();
  };
  if (answers_.empty()) return unexpected("no answer scripted");
  TAnswer answer = std::move(answers_.front());
  answers_.pop_front();
  if (std::find(box.Buttons.begin(), box.Buttons.end(), answer.Button) == box.Buttons.end())
    return unexpected("scripted answer " + std::to_string(answer.Button) + " is not a button");
  if (answer.Until) RunModalLoop(answer.Until);
  return answer.Button;
}

}  // namespace platform
