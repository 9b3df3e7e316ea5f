// The UCP error table: descriptions and which refusals are retried.
#include <gtest/gtest.h>

#include "ucp_error.h"

TEST(UcpError, Descriptions) {
    EXPECT_EQ(ucpErrorDescription(2), "02 = Syntax error");
    EXPECT_EQ(ucpErrorDescription(24), "24 = Message too long");
    EXPECT_EQ(ucpErrorDescription(38), "38 = Message forwarded");
    EXPECT_EQ(ucpErrorDescription(0), "00 = unknown error code");
    EXPECT_EQ(ucpErrorDescription(99), "99 = unknown error code");
    EXPECT_EQ(ucpErrorDescription(128), "128 = unknown error code");
}

TEST(UcpError, TemporaryCodes) {
    EXPECT_TRUE(ucpErrorIsTemporary(1));
    EXPECT_TRUE(ucpErrorIsTemporary(99));
    EXPECT_TRUE(ucpErrorIsTemporary(0));
    for (int permanent : {2, 3, 4, 5, 6, 7, 8, 22, 23, 24, 26, 38}) {
        EXPECT_FALSE(ucpErrorIsTemporary(permanent)) << permanent;
    }
}
