#include "QLCommon/ConfigMap.h"

void DbgTrace(int, const char*, int, const char*, ...) {}
