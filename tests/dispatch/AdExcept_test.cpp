#include "dispatch/AdExcept.h"

#include <gtest/gtest.h>

namespace {

struct TOwner {
  bool loading = false;
  bool Loading() const { return loading; }
};

TEST(CheckResultCode, PassesSuccessAndCountsThrough) {
  EXPECT_EQ(CheckResultCode(false, 0), 0);
  EXPECT_EQ(CheckResultCode(false, 17), 17);
}

TEST(CheckResultCode, RaisesNothingWhileTheOwnerLoads) {
  TOwner owner{true};
  EXPECT_EQ(CheckResultCode(&owner, ecBadTriggerHandle), ecBadTriggerHandle);
  EXPECT_EQ(CheckResultCode(&owner, -1), -1);
  owner.loading = false;
  EXPECT_THROW(CheckResultCode(&owner, ecBadTriggerHandle), EBadTriggerHandle);
  EXPECT_THROW(CheckResultCode(static_cast<const TOwner*>(nullptr), -1), EAPDException);
}

}  // namespace
