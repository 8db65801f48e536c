#pragma once

#include <open62541/types.h>

#include <cstddef>
#include <cstdint>

// Copies a read value's raw bytes into a record field of `width` bytes.
// A scalar of a fixed-size numeric type (Boolean to Double) gives its first
// min(width, size) bytes and zero for the rest of the field; anything else
// (no value, an array, a string, a structure) leaves the field untouched and
// returns false.
bool copy_value_to_field(const UA_Variant& value, unsigned char* field, std::size_t width);

// The OPC UA built-in type id (1 Boolean .. 11 Double) of a value that
// copy_value_to_field copies, by its kind; 0 for any other value.
uint8_t copied_type(const UA_Variant& value);
