// Feeds arbitrary OPC UA variants to copy_value_to_field: decoded from the
// input (any built-in type, scalar or array, any length, empty), built by
// hand for any UA_TYPES entry, and numeric scalars with raw input bytes.
// Every variant is tried with field widths 0..64. Only a scalar of a
// fixed-size number may touch the field, with exactly its first bytes and
// zero padding; nothing outside the field is ever written.
#include "value_copy.h"

#include <open62541/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kPad = 16;
constexpr unsigned char kCanary = 0xA5;
constexpr unsigned char kUntouched = 0x5A;
constexpr std::size_t kWidths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 64};

// The in-memory size of each fixed-size number kind, Boolean .. Double.
constexpr std::size_t kNumberSize[] = {1, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};

const UA_DataType* const kNumbers[] = {
    &UA_TYPES[UA_TYPES_BOOLEAN], &UA_TYPES[UA_TYPES_SBYTE],  &UA_TYPES[UA_TYPES_BYTE],
    &UA_TYPES[UA_TYPES_INT16],   &UA_TYPES[UA_TYPES_UINT16], &UA_TYPES[UA_TYPES_INT32],
    &UA_TYPES[UA_TYPES_UINT32],  &UA_TYPES[UA_TYPES_INT64],  &UA_TYPES[UA_TYPES_UINT64],
    &UA_TYPES[UA_TYPES_FLOAT],   &UA_TYPES[UA_TYPES_DOUBLE]};

// open62541 is not instrumented, so the fuzzer cannot tell the decoded
// variants apart by coverage; these counters tell it the kind and shape of
// each (libFuzzer reads the section as extra features).
__attribute__((used, section("__libfuzzer_extra_counters"))) uint8_t shape_seen[32 * 4];

void note_shape(const UA_Variant& v) {
  const std::size_t kind = v.type ? v.type->typeKind % 31 + 1 : 0;
  const std::size_t shape = v.arrayLength != 0                 ? 1
                            : v.data == UA_EMPTY_ARRAY_SENTINEL ? 2
                            : v.data == nullptr                 ? 3
                                                                : 0;
  ++shape_seen[kind * 4 + shape];
}

enum class Expect { Copy, Refuse, Either };

// A scalar of one of the built-in numbers must be copied; no array, no empty
// variant and nothing that is not a number may be. Types that only alias a
// number (Duration, Counter, the option-set masks, ...) may go either way:
// the library marks some of them as not pointer-free, which the copy refuses.
Expect expected(const UA_Variant& v) {
  if (v.type == nullptr || v.arrayLength != 0) return Expect::Refuse;
  if (v.data == nullptr || v.data == UA_EMPTY_ARRAY_SENTINEL) return Expect::Refuse;
  if (v.type->typeKind > UA_DATATYPEKIND_DOUBLE) return Expect::Refuse;
  for (const UA_DataType* number : kNumbers) {
    if (v.type == number) return Expect::Copy;
  }
  return Expect::Either;
}

void check(const UA_Variant& v) {
  note_shape(v);
  const Expect expect = expected(v);
  for (const std::size_t width : kWidths) {
    const std::size_t total = kPad + width + kPad;
    const std::unique_ptr<unsigned char[]> buf(new unsigned char[total]);
    std::memset(buf.get(), kCanary, total);
    unsigned char* field = buf.get() + kPad;
    std::memset(field, kUntouched, width);

    const bool copied = copy_value_to_field(v, field, width);

    if (copied ? expect == Expect::Refuse : expect == Expect::Copy) std::abort();
    for (std::size_t i = 0; i < kPad; ++i) {
      if (buf[i] != kCanary || field[width + i] != kCanary) std::abort();
    }
    if (!copied) {
      for (std::size_t i = 0; i < width; ++i) {
        if (field[i] != kUntouched) std::abort();
      }
      continue;
    }
    // The number's size by its kind; the copy's length rests on memSize.
    const std::size_t size = kNumberSize[v.type->typeKind];
    if (v.type->memSize != size) std::abort();
    const std::size_t n = std::min(width, size);
    if (std::memcmp(field, v.data, n) != 0) std::abort();
    for (std::size_t i = n; i < width; ++i) {
      if (field[i] != 0) std::abort();
    }
  }
}

// Reads the input front to back; past the end it yields zeros.
struct Input {
  const uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;

  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  // Fills n bytes of dst from the input, zeros past its end.
  void fill(void* dst, std::size_t n) {
    const std::size_t k = std::min(n, size - pos);
    std::memcpy(dst, data + pos, k);
    std::memset(static_cast<unsigned char*>(dst) + k, 0, n - k);
    pos += k;
  }
  UA_ByteString rest() {
    UA_ByteString s;
    s.length = size - pos;
    s.data = const_cast<uint8_t*>(data + pos);
    return s;
  }
};

// A value of `type` from the input: raw bytes for a pointer-free type (any
// bit pattern: a Boolean of 7, NaNs, enum values out of range), otherwise
// decoded from the input's binary encoding, or zero when that fails.
void* make_value(const UA_DataType* type, Input& in) {
  void* p = UA_new(type);
  if (p == nullptr) return nullptr;
  if (type->pointerFree) {
    in.fill(p, type->memSize);
  } else {
    const UA_ByteString rest = in.rest();
    if (UA_decodeBinary(&rest, p, type, nullptr) != UA_STATUSCODE_GOOD) UA_init(p, type);
    in.pos = in.size;
  }
  return p;
}

void check_decoded(Input& in) {
  UA_Variant v;
  UA_Variant_init(&v);
  const UA_ByteString rest = in.rest();
  // A failed decode leaves the variant cleared (empty), which is checked too.
  UA_decodeBinary(&rest, &v, &UA_TYPES[UA_TYPES_VARIANT], nullptr);
  check(v);
  UA_Variant_clear(&v);
}

void check_hand_built(Input& in) {
  const uint8_t shape = in.byte();
  const UA_DataType* type = &UA_TYPES[in.u16() % UA_TYPES_COUNT];
  UA_Variant v;
  UA_Variant_init(&v);
  switch (shape % 4) {
    case 0: {  // scalar
      void* p = make_value(type, in);
      if (p == nullptr) return;
      UA_Variant_setScalar(&v, p, type);
      break;
    }
    case 1: {  // array, length 0 (the empty-array sentinel) .. 16
      const std::size_t n = in.byte() % 17;
      void* array = UA_Array_new(n, type);
      if (array == nullptr) return;
      if (type->pointerFree) in.fill(array, n * type->memSize);
      UA_Variant_setArray(&v, array, n, type);
      break;
    }
    case 2:  // a type but no data
      v.type = type;
      break;
    case 3:  // no type, no data
      break;
  }
  check(v);
  UA_Variant_clear(&v);
}

void check_numbers(const uint8_t* data, std::size_t size) {
  for (const UA_DataType* type : kNumbers) {
    Input in{data, size};
    void* p = make_value(type, in);
    if (p == nullptr) continue;
    UA_Variant v;
    UA_Variant_init(&v);
    UA_Variant_setScalar(&v, p, type);
    check(v);
    UA_Variant_clear(&v);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint8_t mode = in.byte();
  if (mode % 2 == 0) {
    check_decoded(in);
  } else {
    check_hand_built(in);
  }
  check_numbers(data, size);
  return 0;
}
