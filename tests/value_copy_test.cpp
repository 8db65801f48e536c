// How one read value fills its record field.
#include "value_copy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

using testing::ElementsAreArray;

namespace {

constexpr unsigned char kOld = 0xEE;  // what the field held before

// Copies into a 4-byte field inside canaries; returns the 6 bytes around it.
std::vector<unsigned char> copy_into_field(const UA_Variant& v, std::size_t width, bool& copied) {
  std::vector<unsigned char> buf(width + 2, kOld);
  buf.front() = buf.back() = 0xCC;
  copied = copy_value_to_field(v, buf.data() + 1, width);
  return buf;
}

template <typename T>
UA_Variant scalar(T value, const UA_DataType* type) {
  UA_Variant v;
  UA_Variant_init(&v);
  UA_Variant_setScalarCopy(&v, &value, type);
  return v;
}

}  // namespace

TEST(ValueCopy, numeric_scalars_give_their_first_bytes_and_zero_the_rest) {
  struct Case {
    UA_Variant value;
    std::size_t width;
    std::vector<unsigned char> field;
  };
  Case cases[] = {
      {scalar<UA_Boolean>(true, &UA_TYPES[UA_TYPES_BOOLEAN]), 1, {1}},
      {scalar<UA_Int16>(500, &UA_TYPES[UA_TYPES_INT16]), 2, {0xF4, 0x01}},
      {scalar<UA_Int16>(-2, &UA_TYPES[UA_TYPES_INT16]), 4, {0xFE, 0xFF, 0, 0}},
      {scalar<UA_Float>(12.5f, &UA_TYPES[UA_TYPES_FLOAT]), 4, {0x00, 0x00, 0x48, 0x41}},
      {scalar<UA_UInt32>(0x04030201u, &UA_TYPES[UA_TYPES_UINT32]), 2, {0x01, 0x02}},
      {scalar<UA_Double>(1.0, &UA_TYPES[UA_TYPES_DOUBLE]), 4, {0, 0, 0, 0}},
      {scalar<UA_Double>(2.5, &UA_TYPES[UA_TYPES_DURATION]), 4, {0, 0, 0, 0}},
      {scalar<UA_Byte>(7, &UA_TYPES[UA_TYPES_BYTE]), 4, {7, 0, 0, 0}},
  };
  for (Case& c : cases) {
    bool copied = false;
    const auto buf = copy_into_field(c.value, c.width, copied);
    EXPECT_TRUE(copied) << c.value.type->typeName;
    EXPECT_EQ(buf.front(), 0xCC);
    EXPECT_EQ(buf.back(), 0xCC) << "wrote past the field";
    EXPECT_THAT(std::vector<unsigned char>(buf.begin() + 1, buf.end() - 1),
                ElementsAreArray(c.field))
        << c.value.type->typeName;
    UA_Variant_clear(&c.value);
  }
}

TEST(ValueCopy, no_value_arrays_and_non_numbers_leave_the_field_alone) {
  UA_Variant empty;
  UA_Variant_init(&empty);
  UA_String text = UA_STRING_ALLOC("12.5");
  UA_Variant string;
  UA_Variant_init(&string);
  UA_Variant_setScalar(&string, &text, &UA_TYPES[UA_TYPES_STRING]);
  std::array<UA_UInt32, 3> items{1, 2, 3};
  UA_Variant array;
  UA_Variant_init(&array);
  UA_Variant_setArray(&array, items.data(), items.size(), &UA_TYPES[UA_TYPES_UINT32]);
  UA_Variant empty_array;
  UA_Variant_init(&empty_array);
  UA_Variant_setArray(&empty_array, nullptr, 0, &UA_TYPES[UA_TYPES_FLOAT]);

  for (const UA_Variant* v : {&empty, &string, &array, &empty_array}) {
    bool copied = true;
    const auto buf = copy_into_field(*v, 4, copied);
    EXPECT_FALSE(copied);
    EXPECT_THAT(std::vector<unsigned char>(buf.begin() + 1, buf.end() - 1),
                ElementsAreArray({kOld, kOld, kOld, kOld}));
  }
  UA_String_clear(&text);
}
