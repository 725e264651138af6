// A language component that records which groups each call of
// TranslateComponent consumed.
#pragma once

#include <string>
#include <vector>

#include "lang/MLang.h"

class TRecordingMultiLang : public TMultiLang {
 public:
  using TMultiLang::TMultiLang;

  struct TCall {
    std::string Name;
    int Start;
    int End;
  };
  std::vector<TCall> Calls;

  void TranslateComponent(TComponent* component, int& index) override {
    const int start = index;
    TMultiLang::TranslateComponent(component, index);
    Calls.push_back({component->Name(), start, index});
  }
};
