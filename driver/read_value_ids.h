#pragma once

#include <open62541/types.h>

// Every point's ReadValueId (Value attribute of its string id in namespace 1),
// in table order. One table for all devices: built on first use, thread-safe,
// read-only afterwards; its ids point into the constant point table.
const UA_ReadValueId* shared_read_items();
