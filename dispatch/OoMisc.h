// The common base of the communications components and small helpers that
// every unit of the layer shares.
//
// TApdBaseComponent is a component of the framework (owner, name, stored
// form) that carries the layer's read-only Version. Main thread, like every
// component; the helpers may be used from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/toolkit/Classes.h"

// The version text of the communications layer, shown by every component's
// Version property and written at the top of a dispatch-log dump.
inline constexpr const char* ApdVersionStr = "v3.04";

class TApdBaseComponent : public TComponent {
  TKV_CLASS(TApdBaseComponent, TComponent)
 public:
  explicit TApdBaseComponent(TComponent* owner);

  // Always ApdVersionStr; setting it (also from a stored form) is accepted
  // and changes nothing.
  std::string Version() const { return ApdVersionStr; }
  void SetVersion(const std::string& value);

  // Whether the component is being read from its stored form (result codes
  // are then not raised as exceptions).
  bool Loading() const { return IsLoading(); }
};

// The upper-case form of one byte of the process code page: ASCII letters
// are mapped, every other byte (all bytes of multi-byte characters included)
// stays as it is.
constexpr std::uint8_t ApdUpCase(std::uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - ('a' - 'A')) : c;
}
