#include "applet/applet_fixture.h"
TEST(X,Y){}
