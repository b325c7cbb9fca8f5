#include "applet/applet_fixture.h"
