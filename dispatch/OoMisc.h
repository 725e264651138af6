// The common base of the communications components and small helpers that
// every unit of the layer shares.
//
// TApdBaseComponent carries the layer's read-only Version; it owns nothing.
// Threads: everything here may be used from any thread.
#pragma once

#include <cstdint>
#include <string>

// The version text of the communications layer, shown by every component's
// Version property and written at the top of a dispatch-log dump.
inline constexpr const char* ApdVersionStr = "v3.04";

class TApdBaseComponent {
 public:
  TApdBaseComponent() = default;
  virtual ~TApdBaseComponent() = default;
  TApdBaseComponent(const TApdBaseComponent&) = delete;
  TApdBaseComponent& operator=(const TApdBaseComponent&) = delete;

  // Always ApdVersionStr; setting it is accepted and ignored, so a stored
  // form that carries a Version value loads unchanged.
  std::string Version() const { return ApdVersionStr; }
  void SetVersion(const std::string& value);

  // Whether the component is being read from its stored form (results are
  // then not raised as exceptions).
  virtual bool Loading() const { return false; }
};

// The upper-case form of one byte of the process code page: ASCII letters
// are mapped, every other byte (all bytes of multi-byte characters included)
// stays as it is.
constexpr std::uint8_t ApdUpCase(std::uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - ('a' - 'A')) : c;
}
