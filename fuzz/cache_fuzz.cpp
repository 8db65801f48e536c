// Feeds the driver device a sequence of cached records through LoadFromCache,
// with lengths taken from the input: the data's own length, exactly 7001,
// one off either way, negative, huge, and lengths beyond the bytes passed.
// Only a record of exactly 7001 bytes may be taken: it becomes the record
// (plus the round's stamp) and is handed over and saved once; anything else
// is refused without reading the bytes, without touching the record and
// without a hand-over. Buffers are heap blocks of exactly the bytes given,
// so a read past them is an AddressSanitizer finding.
#include "host_stub.h"
#include "silence_stdout.h"
#include "quorlin.h"


#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kRecordSize = 7001;
constexpr std::size_t kStampOffset = 6994;

class CacheDevice : public Quorlin {
 public:
  const unsigned char* record() const { return reinterpret_cast<const unsigned char*>(&data_); }
};

struct Seen {
  int sends = 0;
  int histories = 0;
  std::vector<unsigned char> sent;
  std::vector<unsigned char> saved;
};

Seen& seen() {
  static Seen s;
  return s;
}

// Reads the input front to back; past the end it yields zeros.
struct Input {
  const uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;

  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  int32_t i32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    int32_t s;
    std::memcpy(&s, &v, sizeof s);
    return s;
  }
};

// n bytes: the payload repeated (zeros for an empty payload).
std::vector<unsigned char> cycled(const std::vector<unsigned char>& payload, std::size_t n) {
  std::vector<unsigned char> out(n, 0);
  if (!payload.empty()) {
    for (std::size_t i = 0; i < n; ++i) out[i] = payload[i % payload.size()];
  }
  return out;
}

// One LoadFromCache call: the bytes passed (a heap block of exactly their
// size, or none) and the length claimed for them.
struct Call {
  std::vector<unsigned char> bytes;
  bool null = false;
  int length = 0;
  bool as_string = false;
};

Call make_call(uint8_t selector, int32_t value, const std::vector<unsigned char>& payload) {
  Call c;
  const int payload_len = static_cast<int>(payload.size());
  switch (selector % 8) {
    case 0:  // the payload with its own length
      c.bytes = payload;
      c.length = payload_len;
      break;
    case 1:  // exactly a record
      c.bytes = cycled(payload, kRecordSize);
      c.length = kRecordSize;
      break;
    case 2:  // one byte short or one too many, passed in full
      c.length = value & 1 ? kRecordSize + 1 : kRecordSize - 1;
      c.bytes = cycled(payload, static_cast<std::size_t>(c.length));
      break;
    case 3:  // any length at all; never more bytes than the payload unless a record
      c.length = value;
      c.bytes = payload;
      if (value == kRecordSize && payload_len < kRecordSize) c.bytes = cycled(payload, kRecordSize);
      break;
    case 4:  // huge lengths, either sign, over a short buffer
      c.length = value & 1 ? INT_MAX - (value >> 1 & 0xff) : INT_MIN + (value >> 1 & 0xff);
      c.bytes = payload;
      break;
    case 5:  // negative, no bytes at all
      c.length = -1 - (value & INT_MAX);
      c.null = true;
      break;
    case 6:  // a record's length claimed for fewer bytes: refused lengths only
      c.length = kRecordSize + 1 + (value & 0xffff);
      c.bytes = payload;
      break;
    case 7:  // through the string overload: the payload, or a record of it
      c.as_string = true;
      c.bytes = value & 1 ? cycled(payload, kRecordSize) : payload;
      c.length = static_cast<int>(c.bytes.size());
      break;
  }
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  qrn_host::set_recording(false);
  qrn_host::set_hook([](const qrn_host::Event& e) {
    Seen& s = seen();
    if (e.kind == qrn_host::EventKind::SendSP) {
      ++s.sends;
      if (e.data_id != 5156 || e.size != kRecordSize || e.flag) std::abort();
      s.sent = e.bytes;
    } else if (e.kind == qrn_host::EventKind::SaveHistory) {
      ++s.histories;
      s.saved = e.bytes;
    }
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const int calls = 1 + in.byte() % 4;
  std::vector<std::pair<uint8_t, int32_t>> plan;
  for (int i = 0; i < calls; ++i) {
    const uint8_t selector = in.byte();
    plan.emplace_back(selector, in.i32());
  }
  const std::vector<unsigned char> payload(data + in.pos, data + size);

  CacheDevice device;
  std::vector<unsigned char> model(device.record(), device.record() + kRecordSize);
  Seen& s = seen();
  for (const auto& step : plan) {
    const Call call = make_call(step.first, step.second, payload);

    const int sends = s.sends, histories = s.histories;
    int result;
    if (call.as_string) {
      result = device.LoadFromCache(std::string(call.bytes.begin(), call.bytes.end()));
    } else {
      // A block of exactly the bytes passed; no block at all for none.
      std::unique_ptr<unsigned char[]> block;
      if (!call.null && !call.bytes.empty()) {
        block.reset(new unsigned char[call.bytes.size()]);
        std::memcpy(block.get(), call.bytes.data(), call.bytes.size());
      }
      result = device.LoadFromCache(block.get(), call.length);
    }

    const bool take = call.length == kRecordSize;
    if (result != (take ? 1 : 0)) std::abort();
    if (take) {
      std::memcpy(model.data(), call.bytes.data(), kRecordSize);
      const RoundStamp stamp = get_ttime(device.round_time_);
      std::memcpy(model.data() + kStampOffset, stamp.bytes, sizeof stamp.bytes);
      if (s.sends != sends + 1 || s.histories != histories + 1) std::abort();
      if (s.sent != model || s.saved != model) std::abort();
      if (!device.data_ready_) std::abort();
    } else if (s.sends != sends || s.histories != histories) {
      std::abort();
    }
    if (std::memcmp(device.record(), model.data(), kRecordSize) != 0) std::abort();
  }
  return 0;
}
