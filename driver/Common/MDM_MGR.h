// The modem manager: the narrow interface through which call control uses the on-board
// modems (entry points declared in RSS_CallCtl_ext.h). It reserves a free pump for a
// call on the modem path, binds the pump and the call's Link to each other, and turns
// the call's progress into pump events. It keeps no state of its own. Called with
// AdapterSpinLock held.
#pragma once

#include "driver/Common/RSS_CallCtl_ext.h"
#include "driver/Common/RSS_types.h"
