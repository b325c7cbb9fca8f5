#include <gtest/gtest.h>
TEST(Applet, Builds) {}
