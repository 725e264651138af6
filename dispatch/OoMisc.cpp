#include "dispatch/OoMisc.h"

TApdBaseComponent::TApdBaseComponent(TComponent* owner) : TComponent(owner) {
  PublishString(
      "Version", [this] { return Version(); },
      [this](const std::string& value) { SetVersion(value); });
}

void TApdBaseComponent::SetVersion(const std::string& /*value*/) {}
