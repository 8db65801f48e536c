#pragma once

// The round report: what a sampling round could read, handed to the host
// beside the record under the device's "round_report_id". Little-endian,
// packed, byte offsets:
//
//    0  u16  version (2; 1 had no type table)
//    2  u16  header size: the offset of the status table (36 in version 1,
//            36 + 1353 in version 2)
//    4  u32  device id
//    8  7    the round's stamp, encoded as the record's (year u16, month,
//            day, hour, minute, second): the record's own when one was
//            handed over, the local time otherwise
//   15  u8   read mode: 0 point by point, 1 batched
//   16  u8   session mode: 0 a session per round, 1 a session kept
//   17  u8   security mode asked for: 1 None, 2 Sign, 3 SignAndEncrypt
//   18  u16  point count (the point table's, 2706)
//   20  u32  the round's duration in milliseconds
//   24  u32  the round's outcome as an OPC UA status code: Good when a
//            record was handed over
//   28  u16  points whose status is Good, 30 u16 Uncertain, 32 u16 Bad
//   34  u8   status table entries (k, at most 255)
//   35  u8   0
//   36  (point count + 1) / 2 bytes, version 2: per point, in table order,
//        the OPC UA built-in type of the value its field in the device's
//        record holds (1 Boolean .. 11 Double; 0 none written since the
//        device started), a nibble each, the even points' in the low nibbles
//   H   k x u32  the distinct point statuses of the round (H: header size)
//   H+4k  point count x u8: per point, in table order, its status's entry
//
// A reader takes a report of any version whose header size is at least 36
// and whose length matches; later versions only append to the header.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qrn_report {

constexpr uint16_t kVersion = 2;
constexpr std::size_t kHeaderSize = 36;  // version 1's; the type table follows it
constexpr int kDefaultDataId = 5157;
constexpr std::size_t kMaxTableEntries = 255;

struct RoundReport {
  uint32_t device_id = 0;
  unsigned char stamp[7] = {};
  uint8_t read_mode = 0;
  uint8_t session_mode = 0;
  uint8_t security_mode = 1;
  uint32_t duration_ms = 0;
  uint32_t outcome = 0;
  uint16_t good = 0, uncertain = 0, bad = 0;
  std::vector<uint32_t> statuses;  // per point, in table order
  // Per point, the built-in type its field holds (BuiltInType); empty when
  // unknown (a version-1 report), else as long as `statuses`.
  std::vector<uint8_t> types;
};

// OPC UA built-in type ids of the numeric scalars a field can hold.
namespace builtin {
constexpr uint8_t None = 0, Boolean = 1, SByte = 2, Byte = 3, Int16 = 4, UInt16 = 5, Int32 = 6,
                  UInt32 = 7, Int64 = 8, UInt64 = 9, Float = 10, Double = 11;
}

// Counts each status's severity into good, uncertain and bad.
void count_statuses(RoundReport& report);

// The report's bytes: version 2, or version 1 when `types` is empty. Beyond
// 255 distinct statuses (no real server sends that many), a point's status
// is written as its severity alone (0, 0x40000000, 0x80000000); the counts
// stay exact.
std::vector<unsigned char> encode(const RoundReport& report);

// Reads a report back, version 1 (no types) or later; false (and `out`
// unspecified) for anything that is not a whole report.
bool decode(const unsigned char* bytes, std::size_t size, RoundReport& out);

// Severity classes of a status code.
inline bool is_good(uint32_t status) { return (status >> 30) == 0; }
inline bool is_uncertain(uint32_t status) { return (status >> 30) == 1; }
inline bool is_bad(uint32_t status) { return (status >> 30) >= 2; }

}  // namespace qrn_report
