// The shared-memory entry: how the user interface starts and stops the management
// machinery and reaches the object tree.
#pragma once

#include <cstdint>

#include "QLCommon/ManageableObject.h"

class CAgent;
extern CAgent* GAgent;

bool smem_Open(int flag);
void smem_Close();
void* smem_ReturnGetPtr(uint32_t smemId, const CSMemIndex& index);
