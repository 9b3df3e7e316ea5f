// The public header as C code sees it, linked against the shared library.
#include <gtest/gtest.h>

extern "C" int vessa_c_check(void);

TEST(CInterface, HeaderCompilesAsCAndLinksAgainstTheSharedLibrary) { EXPECT_EQ(vessa_c_check(), 0); }
