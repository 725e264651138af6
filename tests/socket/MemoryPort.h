// A com port whose serial layer is the in-memory device of the dispatcher
// tests, for the tests of the port and of the layers above it.
#pragma once

#include <cstdint>
#include <memory>

#include "dispatch/TestDevices.h"
#include "socket/AdPort.h"

class MemoryPort : public TApdCustomComPort {
 public:
  explicit MemoryPort(TComponent* owner = nullptr) : TApdCustomComPort(owner) {
    SetAutoOpen(false);
    SetComNumber(1);
  }
  // The device of the latest open.
  MemoryDispatcher* Device() const { return last_; }

  // What the next device's open answers, and how many devices were made.
  std::int32_t OpenResult = 7;
  int Created = 0;

 protected:
  std::unique_ptr<TApdBaseDispatcher> CreateDispatcher() override {
    if (DeviceLayer() != dlSerial) return TApdCustomComPort::CreateDispatcher();
    auto d = std::make_unique<MemoryDispatcher>(this);
    d->OpenResult = OpenResult;
    last_ = d.get();
    ++Created;
    return d;
  }

 private:
  MemoryDispatcher* last_ = nullptr;
};
