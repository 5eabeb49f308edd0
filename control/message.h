// The two records of the control protocol, as they travel on the wire, and
// the bounds-checked readers and writers of their fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The daemon's TCP control port on 127.0.0.1.
inline constexpr uint16_t kControlPort = 23589;

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
  // The reply that `in` (9 wire bytes) carries.
  static MessageReply fromBytes(const unsigned char in[kMessageReplySize]) {
    MessageReply r;
    r.result = in[0];
    for (size_t i = 0; i < 8; ++i) r.value |= static_cast<uint64_t>(in[1 + i]) << (8 * i);
    return r;
  }
};

// Command numbers. Any other number is answered with a zero reply.
enum MessageCommand : int32_t {
  AA_COMMAND_FIREWALL_ON = 1,
  AA_COMMAND_FIREWALL_OFF = 2,
  AA_COMMAND_FIREWALL_CHANGE = 3,
  AA_COMMAND_FIREWALL_SUPPORTED = 5,
  AA_COMMAND_FIREWALL_ENABLE_ON_START = 6,
  AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED = 7,
  AA_COMMAND_TIMEZONE_CHANGE = 8,
  AA_COMMAND_OPENVPN_START = 9,
  AA_COMMAND_INSTALL_UPDATE = 10,
};

// ---- Layout. The payload is read in one of four overlapping layouts. ----

inline constexpr size_t kWideUnitSize = 4;

inline constexpr size_t kCommandOffset = 0;
inline constexpr size_t kPayloadOffset = 4;

// Firewall layout (commands 1 and 3).
inline constexpr size_t kServerAddressesOffset = 4;
inline constexpr size_t kServerAddressesUnits = 10240;
inline constexpr size_t kInterfaceToSkipOffset = 40964;
inline constexpr size_t kInterfaceToSkipUnits = 512;
inline constexpr size_t kKillSwitchOffset = 43012;
inline constexpr size_t kBlockIPv6Offset = 43013;
inline constexpr size_t kAllowLocalDevicesOffset = 43014;
inline constexpr size_t kChangeTimezoneOffset = 43015;
inline constexpr size_t kBlockDNSOffset = 43016;

// Timezone layout (command 8): a flag, then narrow text to the end.
inline constexpr size_t kRestoreTimezoneOffset = 4;
inline constexpr size_t kTimezoneOffset = 5;
inline constexpr size_t kTimezoneBytes = kMessagePacketSize - kTimezoneOffset;

// Launch layout (command 9): wide text to the end of the record. The
// payload is not a whole number of units; the odd last byte is never read.
inline constexpr size_t kOpenvpnArgumentsOffset = 4;
inline constexpr size_t kOpenvpnArgumentsUnits = (kMessagePacketSize - kOpenvpnArgumentsOffset) / kWideUnitSize;

// Update layout (command 10): one unread byte, then wide text at offset 5.
inline constexpr size_t kPackagePathOffset = 5;
inline constexpr size_t kPackagePathUnits = 16000;

// Largest UTF-8 conversions the daemon accepts (longer texts are refused).
inline constexpr size_t kOpenvpnArgumentsMaxBytes = 1023;
inline constexpr size_t kPackagePathMaxBytes = 511;

static_assert(kPayloadOffset == kCommandOffset + sizeof(int32_t));
static_assert(kServerAddressesOffset == kPayloadOffset);
static_assert(kInterfaceToSkipOffset == kServerAddressesOffset + kServerAddressesUnits * kWideUnitSize);
static_assert(kKillSwitchOffset == kInterfaceToSkipOffset + kInterfaceToSkipUnits * kWideUnitSize);
static_assert(kBlockIPv6Offset == kKillSwitchOffset + 1 && kAllowLocalDevicesOffset == kBlockIPv6Offset + 1 &&
              kChangeTimezoneOffset == kAllowLocalDevicesOffset + 1 && kBlockDNSOffset == kChangeTimezoneOffset + 1);
static_assert(kBlockDNSOffset < kMessagePacketSize);
static_assert(kRestoreTimezoneOffset == kPayloadOffset && kTimezoneOffset == kRestoreTimezoneOffset + 1);
static_assert(kOpenvpnArgumentsOffset == kPayloadOffset && kOpenvpnArgumentsUnits == 16000);
static_assert(kOpenvpnArgumentsOffset + kOpenvpnArgumentsUnits * kWideUnitSize == kMessagePacketSize - 1);
// The update layout fills the payload exactly: 1 + 16000 * 4 bytes.
static_assert(kPackagePathOffset == kPayloadOffset + 1);
static_assert(kPackagePathOffset + kPackagePathUnits * kWideUnitSize == kMessagePacketSize);

// ---- Fixed-width little-endian coding over a byte range. ----
// Every function checks that [offset, offset + width) lies inside `size`
// before touching a byte; out of range, readers return false and leave `out`
// alone, writers return false and write nothing.

inline bool getFixed8(const unsigned char* data, size_t size, size_t offset, uint8_t* out) {
  if (offset >= size) return false;
  *out = data[offset];
  return true;
}

inline bool getFixed32(const unsigned char* data, size_t size, size_t offset, uint32_t* out) {
  if (offset > size || size - offset < 4) return false;
  *out = static_cast<uint32_t>(data[offset]) | (static_cast<uint32_t>(data[offset + 1]) << 8) |
         (static_cast<uint32_t>(data[offset + 2]) << 16) | (static_cast<uint32_t>(data[offset + 3]) << 24);
  return true;
}

inline bool putFixed8(unsigned char* data, size_t size, size_t offset, uint8_t value) {
  if (offset >= size) return false;
  data[offset] = value;
  return true;
}

inline bool putFixed32(unsigned char* data, size_t size, size_t offset, uint32_t value) {
  if (offset > size || size - offset < 4) return false;
  for (size_t i = 0; i < 4; ++i) data[offset + i] = static_cast<unsigned char>(value >> (8 * i));
  return true;
}

// ---- Decoded request fields. ----

// The firewall layout. Texts are narrowed by keeping the low 8 bits of each
// unit; a flag is true for every non-zero byte.
struct FirewallRequest {
  std::string serverAddresses;
  std::string interfaceToSkip;
  bool killSwitch = false;
  bool blockIPv6 = false;
  bool allowLocalDevices = false;
  bool changeTimezone = false;  // logged only; the firewall never sees it
  bool blockDNS = false;
};

// The timezone layout.
struct TimezoneRequest {
  bool restoreTimezone = false;
  std::string timezone;  // the bytes up to the first zero or the record's end
};

// The command number (signed).
int32_t decodeCommand(const MessagePacket& packet);

// Reads the firewall layout.
FirewallRequest decodeFirewallRequest(const MessagePacket& packet);

// Reads the timezone layout.
TimezoneRequest decodeTimezoneRequest(const MessagePacket& packet);

// Reads a wide text of at most `maxUnits` units from `offset`: the units up
// to the first zero unit, the end of the area or the last whole unit of the
// record, whichever comes first. Units are returned as they are (no check).
std::u32string decodeWideText(const MessagePacket& packet, size_t offset, size_t maxUnits);

// The wide texts of commands 9 and 10, unconverted.
std::u32string decodeOpenvpnArguments(const MessagePacket& packet);
std::u32string decodePackagePath(const MessagePacket& packet);

// Keeps the low 8 bits of every unit (the firewall texts' narrowing).
std::string narrowLowByte(std::u32string_view units);

// ---- Encoding, for the command-line client and tests. ----
// Each builder starts from a zeroed record. Texts are terminated when there
// is room; a text longer than its area makes the builder return false (the
// packet is then unspecified).

// A record holding only `command`.
void encodeCommandOnly(MessagePacket* packet, int32_t command);

// Firewall layout; each byte of the two texts becomes one unit.
bool encodeFirewallRequest(MessagePacket* packet, int32_t command, const FirewallRequest& request);

// Timezone layout (command 8).
bool encodeTimezoneRequest(MessagePacket* packet, const TimezoneRequest& request);

// Launch layout (command 9); units written as given.
bool encodeOpenvpnArguments(MessagePacket* packet, std::u32string_view units);

// Update layout (command 10); units written as given.
bool encodePackagePath(MessagePacket* packet, std::u32string_view units);

// Writes `units` at `offset` into an area of `maxUnits` units, terminated
// when there is room. False when the text does not fit the area or record.
bool encodeWideText(MessagePacket* packet, size_t offset, size_t maxUnits, std::u32string_view units);
