#include "dispatch/OoMisc.h"

void TApdBaseComponent::SetVersion(const std::string& /*value*/) {}
