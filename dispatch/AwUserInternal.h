// Shared by the implementation files of the dispatcher only.
#pragma once

#include <cstdint>

// Result codes the dispatcher produces.
constexpr std::int32_t ecBadArgument = -1002;
constexpr std::int32_t ecPutBlockFail = -3004;
constexpr std::int32_t ecOutputBufferTooSmall = -3006;
constexpr std::int32_t ecBufferIsEmpty = -3007;
constexpr std::int32_t ecBaseAddressNotSet = -3010;
constexpr std::int32_t ecTriggerTooLong = -5002;
constexpr std::int32_t ecBadTriggerHandle = -5003;

// Index arithmetic of the dispatch ring.
constexpr std::uint32_t DispNext(std::uint32_t pos, std::uint32_t n = 1) {
  return (pos + n) % 8192u;
}
