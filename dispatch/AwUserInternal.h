// Shared by the implementation files of the dispatcher only.
#pragma once

#include <cstdint>

#include "dispatch/AdExcept.h"

// Index arithmetic of the dispatch ring.
constexpr std::uint32_t DispNext(std::uint32_t pos, std::uint32_t n = 1) {
  return (pos + n) % 8192u;
}
