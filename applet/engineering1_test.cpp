#include "applet/applet_fixture.h"
#include "applet/EngineeringPages.h"
#include "applet/LineReports.h"

using namespace applettest;
TEST(Placeholder, Builds) { EXPECT_NE(FindEngineeringPage("pri-debug"), nullptr); }
