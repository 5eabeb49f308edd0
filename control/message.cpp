#include "control/message.h"

#include <cstring>

namespace {

bool flagAt(const MessagePacket& packet, size_t offset) {
  uint8_t b = 0;
  getFixed8(packet.bytes, sizeof packet.bytes, offset, &b);
  return b != 0;
}

}  // namespace

int32_t decodeCommand(const MessagePacket& packet) {
  uint32_t raw = 0;
  getFixed32(packet.bytes, sizeof packet.bytes, kCommandOffset, &raw);
  return static_cast<int32_t>(raw);
}

std::u32string decodeWideText(const MessagePacket& packet, size_t offset, size_t maxUnits) {
  std::u32string text;
  for (size_t i = 0; i < maxUnits; ++i) {
    uint32_t unit = 0;
    // A unit that would run past the record ends the text like the end of
    // its area does.
    if (!getFixed32(packet.bytes, sizeof packet.bytes, offset + i * kWideUnitSize, &unit)) break;
    if (unit == 0) break;
    text.push_back(static_cast<char32_t>(unit));
  }
  return text;
}

std::string narrowLowByte(std::u32string_view units) {
  std::string narrow;
  narrow.reserve(units.size());
  for (char32_t u : units) narrow.push_back(static_cast<char>(static_cast<unsigned char>(u & 0xFF)));
  return narrow;
}

FirewallRequest decodeFirewallRequest(const MessagePacket& packet) {
  FirewallRequest r;
  r.serverAddresses = narrowLowByte(decodeWideText(packet, kServerAddressesOffset, kServerAddressesUnits));
  r.interfaceToSkip = narrowLowByte(decodeWideText(packet, kInterfaceToSkipOffset, kInterfaceToSkipUnits));
  r.killSwitch = flagAt(packet, kKillSwitchOffset);
  r.blockIPv6 = flagAt(packet, kBlockIPv6Offset);
  r.allowLocalDevices = flagAt(packet, kAllowLocalDevicesOffset);
  r.changeTimezone = flagAt(packet, kChangeTimezoneOffset);
  r.blockDNS = flagAt(packet, kBlockDNSOffset);
  return r;
}

TimezoneRequest decodeTimezoneRequest(const MessagePacket& packet) {
  TimezoneRequest r;
  r.restoreTimezone = flagAt(packet, kRestoreTimezoneOffset);
  const unsigned char* begin = packet.bytes + kTimezoneOffset;
  const void* nul = std::memchr(begin, 0, kTimezoneBytes);
  size_t len = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - begin) : kTimezoneBytes;
  r.timezone.assign(reinterpret_cast<const char*>(begin), len);
  return r;
}

std::u32string decodeOpenvpnArguments(const MessagePacket& packet) {
  return decodeWideText(packet, kOpenvpnArgumentsOffset, kOpenvpnArgumentsUnits);
}

std::u32string decodePackagePath(const MessagePacket& packet) {
  return decodeWideText(packet, kPackagePathOffset, kPackagePathUnits);
}

void encodeCommandOnly(MessagePacket* packet, int32_t command) {
  std::memset(packet->bytes, 0, sizeof packet->bytes);
  putFixed32(packet->bytes, sizeof packet->bytes, kCommandOffset, static_cast<uint32_t>(command));
}

bool encodeWideText(MessagePacket* packet, size_t offset, size_t maxUnits, std::u32string_view units) {
  if (units.size() > maxUnits) return false;
  for (size_t i = 0; i < units.size(); ++i) {
    if (!putFixed32(packet->bytes, sizeof packet->bytes, offset + i * kWideUnitSize, units[i])) return false;
  }
  if (units.size() < maxUnits) {
    // Terminator, when the area (and the record) still has room for it.
    putFixed32(packet->bytes, sizeof packet->bytes, offset + units.size() * kWideUnitSize, 0);
  }
  return true;
}

bool encodeFirewallRequest(MessagePacket* packet, int32_t command, const FirewallRequest& request) {
  encodeCommandOnly(packet, command);
  auto widen = [](const std::string& s) {
    std::u32string w;
    for (char c : s) w.push_back(static_cast<unsigned char>(c));
    return w;
  };
  if (!encodeWideText(packet, kServerAddressesOffset, kServerAddressesUnits, widen(request.serverAddresses)))
    return false;
  if (!encodeWideText(packet, kInterfaceToSkipOffset, kInterfaceToSkipUnits, widen(request.interfaceToSkip)))
    return false;
  unsigned char* b = packet->bytes;
  const size_t n = sizeof packet->bytes;
  putFixed8(b, n, kKillSwitchOffset, request.killSwitch);
  putFixed8(b, n, kBlockIPv6Offset, request.blockIPv6);
  putFixed8(b, n, kAllowLocalDevicesOffset, request.allowLocalDevices);
  putFixed8(b, n, kChangeTimezoneOffset, request.changeTimezone);
  putFixed8(b, n, kBlockDNSOffset, request.blockDNS);
  return true;
}

bool encodeTimezoneRequest(MessagePacket* packet, const TimezoneRequest& request) {
  encodeCommandOnly(packet, AA_COMMAND_TIMEZONE_CHANGE);
  if (request.timezone.size() > kTimezoneBytes) return false;
  putFixed8(packet->bytes, sizeof packet->bytes, kRestoreTimezoneOffset, request.restoreTimezone);
  std::memcpy(packet->bytes + kTimezoneOffset, request.timezone.data(), request.timezone.size());
  return true;  // the zeroed record terminates a shorter text
}

bool encodeOpenvpnArguments(MessagePacket* packet, std::u32string_view units) {
  encodeCommandOnly(packet, AA_COMMAND_OPENVPN_START);
  return encodeWideText(packet, kOpenvpnArgumentsOffset, kOpenvpnArgumentsUnits, units);
}

bool encodePackagePath(MessagePacket* packet, std::u32string_view units) {
  encodeCommandOnly(packet, AA_COMMAND_INSTALL_UPDATE);
  return encodeWideText(packet, kPackagePathOffset, kPackagePathUnits, units);
}
