#include "control/message.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(CodingTest, LittleEndianWithBoundsChecks) {
  unsigned char buf[6] = {0x01, 0x02, 0x03, 0x84, 0xAA, 0xBB};
  uint32_t v = 7;
  uint8_t b = 7;
  // Out of range (no wrap-around either): readers leave `out` alone and
  // writers write nothing.
  EXPECT_FALSE(getFixed32(buf, 6, 3, &v) || getFixed32(buf, 6, SIZE_MAX - 1, &v) || getFixed8(buf, 6, 6, &b));
  EXPECT_FALSE(putFixed32(buf, 6, 3, 0) || putFixed32(buf, 6, SIZE_MAX - 1, 0) || putFixed8(buf, 6, 6, 0));
  EXPECT_TRUE(v == 7 && b == 7);
  EXPECT_TRUE(getFixed32(buf, 6, 2, &v) && v == 0xBBAA8403u);
  EXPECT_TRUE(putFixed32(buf, 6, 2, 0x11223344) && buf[2] == 0x44 && buf[5] == 0x11);

  MessagePacket p{};
  encodeCommandOnly(&p, -2);  // the command number is signed
  EXPECT_TRUE(p.bytes[0] == 0xFE && p.bytes[3] == 0xFF);
  EXPECT_EQ(decodeCommand(p), -2);
}

TEST(MessagePacketTest, FirewallLayout) {
  MessagePacket p{};
  ASSERT_TRUE(encodeFirewallRequest(&p, 1, {"1.2.3.4;5.6", "tun0", true, false, true, false, true}));
  EXPECT_EQ(p.bytes[kServerAddressesOffset + 4], '.');
  EXPECT_EQ(p.bytes[kInterfaceToSkipOffset], 't');
  const unsigned char flags[] = {1, 0, 1, 0, 1};
  EXPECT_EQ(std::memcmp(p.bytes + kKillSwitchOffset, flags, sizeof flags), 0);
  // Any non-zero byte is a true flag; a text unit keeps only its low byte.
  p.bytes[kChangeTimezoneOffset] = 0xFE;
  ASSERT_TRUE(putFixed32(p.bytes, sizeof p.bytes, kInterfaceToSkipOffset + 4, 0xFFFFFF62));
  FirewallRequest r = decodeFirewallRequest(p);
  EXPECT_EQ(r.serverAddresses, "1.2.3.4;5.6");
  EXPECT_EQ(r.interfaceToSkip, "tbn0");
  EXPECT_TRUE(r.killSwitch && r.allowLocalDevices && r.changeTimezone && r.blockDNS);
  EXPECT_FALSE(r.blockIPv6);
}

TEST(MessagePacketTest, UnterminatedTextsEndAtTheirArea) {
  MessagePacket p{};
  std::memset(p.bytes + kServerAddressesOffset, 'a', kKillSwitchOffset - kServerAddressesOffset);
  p.bytes[kKillSwitchOffset] = 'c';  // right after the interface's area
  FirewallRequest r = decodeFirewallRequest(p);
  EXPECT_EQ(r.serverAddresses, std::string(kServerAddressesUnits, 'a'));
  EXPECT_EQ(r.interfaceToSkip, std::string(kInterfaceToSkipUnits, 'a'));
  // The launch text runs to the record's last whole unit; the odd byte after
  // it is never read.
  std::memset(p.bytes, 0x41, sizeof p.bytes);
  EXPECT_EQ(decodeOpenvpnArguments(p).size(), kOpenvpnArgumentsUnits);
  EXPECT_EQ(decodePackagePath(p), std::u32string(kPackagePathUnits, 0x41414141));
  EXPECT_EQ(decodeTimezoneRequest(p).timezone, std::string(kTimezoneBytes, 0x41));
}

TEST(MessagePacketTest, TimezoneLaunchAndUpdateLayouts) {
  MessagePacket p{};
  ASSERT_TRUE(encodeTimezoneRequest(&p, {true, "Europe/Berlin"}));
  EXPECT_EQ(decodeCommand(p), AA_COMMAND_TIMEZONE_CHANGE);
  EXPECT_EQ(std::memcmp(p.bytes + kRestoreTimezoneOffset, "\1Europe/Berlin", 15), 0);
  EXPECT_EQ(decodeTimezoneRequest(p).timezone, "Europe/Berlin");
  ASSERT_TRUE(encodeOpenvpnArguments(&p, U"--config a"));
  EXPECT_EQ(p.bytes[4], '-');
  EXPECT_EQ(decodeOpenvpnArguments(p), U"--config a");
  // The update text starts one byte later: the byte at offset 4 is no field.
  ASSERT_TRUE(encodePackagePath(&p, U"/tmp/a.deb"));
  EXPECT_EQ(p.bytes[5], '/');
  p.bytes[4] = 0x7F;
  EXPECT_EQ(decodePackagePath(p), U"/tmp/a.deb");
}
