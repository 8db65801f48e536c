#pragma once

// Reads the vtable slot of a virtual member function from its pointer-to-member
// value as the Itanium C++ ABI lays it out (and its ARM variant).
#include <cstddef>
#include <cstdint>
#include <cstring>

template <typename Pmf>
long vtable_slot(Pmf pmf) {
  struct Rep {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  } rep;
  static_assert(sizeof(Pmf) == sizeof(Rep), "unexpected pointer-to-member size");
  std::memcpy(&rep, &pmf, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
  if ((rep.adj & 1) == 0) return -1;  // not virtual
  return static_cast<long>(rep.ptr / sizeof(void*));
#else
  if ((rep.ptr & 1) == 0) return -1;  // not virtual
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

// Checks every slot of the device interface for device class D.
#define QRN_EXPECT_DEVICE_SLOTS(D)                                                              \
  do {                                                                                          \
    EXPECT_EQ(vtable_slot(&D::Get_Value), 0);                                                   \
    EXPECT_EQ(vtable_slot(static_cast<int (D::*)(const std::string&)>(&D::LoadFromCache)), 1);  \
    EXPECT_EQ(vtable_slot(static_cast<int (D::*)(const unsigned char*, int)>(&D::LoadFromCache)), \
              2);                                                                               \
    EXPECT_EQ(vtable_slot(&D::DataId), 3);                                                      \
    EXPECT_EQ(vtable_slot(&D::DeviceType), 4);                                                  \
    EXPECT_EQ(vtable_slot(&D::DeviceIoControl), 5);                                             \
    EXPECT_EQ(vtable_slot(&D::RoundDone), 6);                                                   \
    EXPECT_EQ(vtable_slot(&D::UseControllerDb), 7);                                             \
    EXPECT_EQ(vtable_slot(&D::Reset), 10);                                                      \
    EXPECT_EQ(vtable_slot(&D::InitV), 11);                                                      \
    EXPECT_EQ(vtable_slot(&D::Init), 12);                                                       \
    EXPECT_EQ(vtable_slot(&D::InitSetting), 13);                                                \
    EXPECT_EQ(vtable_slot(&D::IsSupportDevice), 14);                                            \
    EXPECT_EQ(vtable_slot(&D::GetChildVDevice), 15);                                            \
    EXPECT_EQ(vtable_slot(&D::GetAllChildVDevices), 16);                                        \
    EXPECT_EQ(vtable_slot(&D::SendSP), 17);                                                     \
    EXPECT_EQ(vtable_slot(&D::SendDelayData), 18);                                              \
    EXPECT_EQ(vtable_slot(&D::SendDoData), 19);                                                 \
    EXPECT_EQ(vtable_slot(&D::ReadDi), 20);                                                     \
    EXPECT_EQ(vtable_slot(&D::ReadAi), 21);                                                     \
    EXPECT_EQ(vtable_slot(&D::Get_SP_Value), 22);                                               \
    EXPECT_EQ(vtable_slot(&D::process), 23);                                                    \
    EXPECT_EQ(vtable_slot(&D::process_data), 24);                                               \
    EXPECT_EQ(vtable_slot(&D::OnConnected), 25);                                                \
    EXPECT_EQ(vtable_slot(&D::RefreshStatus), 26);                                              \
    EXPECT_EQ(vtable_slot(&D::StartSocket), 27);                                                \
    EXPECT_EQ(vtable_slot(&D::CloseSocket), 28);                                                \
    EXPECT_EQ(vtable_slot(static_cast<int (D::*)(const unsigned char*, unsigned int)>(          \
                  &D::SendSocketData)),                                                         \
              29);                                                                              \
    EXPECT_EQ(vtable_slot(static_cast<int (D::*)(int, const unsigned char*, unsigned int)>(     \
                  &D::SendSocketData)),                                                         \
              30);                                                                              \
    EXPECT_EQ(vtable_slot(static_cast<int (D::*)(const std::vector<boost::asio::const_buffer>&)>( \
                  &D::SendSocketData)),                                                         \
              31);                                                                              \
    EXPECT_EQ(vtable_slot(static_cast<int (D::*)(int, const std::vector<boost::asio::const_buffer>&)>( \
                  &D::SendSocketData)),                                                         \
              32);                                                                              \
    EXPECT_EQ(vtable_slot(&D::RunCheckThreshold), 33);                                          \
  } while (0)
