#include <gtest/gtest.h>
#include "json/json.h"
TEST(Smoke, Links) { std::string s; EXPECT_FALSE(ToUtf8(u"a", s)); }
