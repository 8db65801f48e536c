#pragma once

#include <open62541/types.h>

#include <cstddef>

// Copies a read value's raw bytes into a record field of `width` bytes.
// A scalar of a fixed-size numeric type (Boolean to Double) gives its first
// min(width, size) bytes and zero for the rest of the field; anything else
// (no value, an array, a string, a structure) leaves the field untouched and
// returns false.
bool copy_value_to_field(const UA_Variant& value, unsigned char* field, std::size_t width);
