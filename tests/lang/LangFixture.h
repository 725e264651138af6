// A form with a language component, on the headless backend, for the
// language tests. Message boxes must be scripted; every scripted answer must
// be used by the end of a test. Each test has its own data folder.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "lang/MLang.h"
#include "lang/RecordingMultiLang.h"
#include "platform/TempFolder.h"
#include "platform/toolkit/Forms.h"
#include "platform/toolkit/Headless.h"

inline std::vector<std::string> Lines(const TStrings& strings) {
  return strings.Lines();
}

// Components made by a test are destroyed the component model's way.
struct FreeComponent {
  void operator()(TComponent* component) const { component->Free(); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeComponent>;

class LangTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    platform::UseHeadlessBackend();
    platform::HeadlessBoxes().Reset();
    ASSERT_TRUE(MultiLangRegistry().empty());
    SwitchAllLanguages(0);
    form_ = new TForm(nullptr);
    form_->SetName("Form1");
    form_->SetCaption("Form");
    lang_ = new TRecordingMultiLang(form_);
    lang_->SetName("MultiLang1");
  }

  void TearDown() override {
    if (form_ != nullptr) form_->Free();
    EXPECT_EQ(platform::HeadlessBoxes().Pending(), 0) << "scripted boxes were not shown";
    EXPECT_TRUE(MultiLangRegistry().empty());
    SwitchAllLanguages(0);
    TempFolderTest::TearDown();
  }

  template <class T>
  T* Add(const std::string& name) {
    T* component = new T(form_);
    component->SetName(name);
    auto* control = dynamic_cast<TControl*>(component);
    if (control != nullptr && dynamic_cast<TCustomForm*>(component) == nullptr)
      control->SetParent(form_);
    return component;
  }

  void Words(std::initializer_list<std::string> lines) { lang_->SetWords(TStrings(lines)); }

  static const std::vector<platform::TShownBox>& Boxes() {
    return platform::HeadlessBoxes().Shown();
  }

  TForm* form_ = nullptr;
  TRecordingMultiLang* lang_ = nullptr;
};
