// The two records of the control protocol, as they travel on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kMessagePacketSize = 64005;
inline constexpr size_t kMessageReplySize = 9;

// The request record: a little-endian signed 32-bit command number and a
// 64001-byte payload that the command decides how to read. Kept as raw bytes:
// fields are decoded with bounds-checked little-endian reads, never by
// overlaying a struct on client bytes.
struct MessagePacket {
  unsigned char bytes[kMessagePacketSize];
};
static_assert(sizeof(MessagePacket) == kMessagePacketSize);

// The reply record: `result` then eight bytes of `value`, always zero.
struct MessageReply {
  uint8_t result = 0;
  uint64_t value = 0;

  // The 9 bytes that go on the wire.
  void toBytes(unsigned char out[kMessageReplySize]) const {
    out[0] = result;
    for (size_t i = 0; i < 8; ++i) out[1 + i] = static_cast<unsigned char>(value >> (8 * i));
  }
};
