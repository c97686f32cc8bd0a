#include <gtest/gtest.h>

#include "base/messages.h"

namespace {

TEST(Messages, LineNumbersPrintTruncatedModulo32Bits) {
  EXPECT_EQ(dp::line_lu(5.9), 5ul);
  EXPECT_EQ(dp::line_lu(4294967296.0 + 7.5), 7ul);
  EXPECT_EQ(dp::line_lu(-1.0), 4294967295ul);
  EXPECT_EQ(dp::line_lu(1.0 / 0.0), 0ul);
}

}  // namespace
