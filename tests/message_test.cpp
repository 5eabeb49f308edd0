#include "control/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

std::unique_ptr<MessagePacket> zeroed() {
  auto p = std::make_unique<MessagePacket>();
  std::memset(p->bytes, 0, sizeof p->bytes);
  return p;
}

void putUnit(MessagePacket* p, size_t offset, uint32_t unit) {
  ASSERT_TRUE(putFixed32(p->bytes, sizeof p->bytes, offset, unit));
}

}  // namespace

TEST(CodingTest, LittleEndianWithBoundsChecks) {
  unsigned char buf[6] = {0x01, 0x02, 0x03, 0x84, 0xAA, 0xBB};
  uint32_t v = 7;
  ASSERT_TRUE(getFixed32(buf, sizeof buf, 0, &v));
  EXPECT_EQ(v, 0x84030201u);
  ASSERT_TRUE(getFixed32(buf, sizeof buf, 2, &v));
  EXPECT_EQ(v, 0xBBAA8403u);
  v = 7;
  EXPECT_FALSE(getFixed32(buf, sizeof buf, 3, &v));
  EXPECT_FALSE(getFixed32(buf, sizeof buf, SIZE_MAX - 1, &v));  // no wrap-around
  EXPECT_EQ(v, 7u);
  uint8_t b = 0;
  EXPECT_FALSE(getFixed8(buf, sizeof buf, 6, &b));
  EXPECT_FALSE(putFixed32(buf, sizeof buf, 3, 0));
  EXPECT_FALSE(putFixed8(buf, sizeof buf, 6, 0));
  EXPECT_EQ(buf[5], 0xBB);
  ASSERT_TRUE(putFixed32(buf, sizeof buf, 2, 0x11223344));
  EXPECT_EQ(buf[2], 0x44);
  EXPECT_EQ(buf[5], 0x11);
}

TEST(MessagePacketTest, CommandIsSignedLittleEndian) {
  auto p = zeroed();
  encodeCommandOnly(p.get(), -2);
  EXPECT_EQ(p->bytes[0], 0xFE);
  EXPECT_EQ(p->bytes[3], 0xFF);
  EXPECT_EQ(decodeCommand(*p), -2);
  encodeCommandOnly(p.get(), 0x01020304);
  EXPECT_EQ(p->bytes[0], 0x04);
  EXPECT_EQ(decodeCommand(*p), 0x01020304);
}

TEST(MessagePacketTest, FirewallLayoutRoundTripsAtItsOffsets) {
  auto p = zeroed();
  FirewallRequest in;
  in.serverAddresses = "1.2.3.4;5.6.7.8";
  in.interfaceToSkip = "tun0";
  in.killSwitch = true;
  in.allowLocalDevices = true;
  in.blockDNS = true;
  ASSERT_TRUE(encodeFirewallRequest(p.get(), AA_COMMAND_FIREWALL_ON, in));
  EXPECT_EQ(p->bytes[kServerAddressesOffset], '1');
  EXPECT_EQ(p->bytes[kServerAddressesOffset + 4], '.');
  EXPECT_EQ(p->bytes[kInterfaceToSkipOffset], 't');
  EXPECT_EQ(p->bytes[kKillSwitchOffset], 1);
  EXPECT_EQ(p->bytes[kBlockIPv6Offset], 0);
  EXPECT_EQ(p->bytes[kBlockDNSOffset], 1);
  FirewallRequest out = decodeFirewallRequest(*p);
  EXPECT_EQ(out.serverAddresses, in.serverAddresses);
  EXPECT_EQ(out.interfaceToSkip, "tun0");
  EXPECT_TRUE(out.killSwitch);
  EXPECT_FALSE(out.blockIPv6);
  EXPECT_TRUE(out.allowLocalDevices);
  EXPECT_FALSE(out.changeTimezone);
  EXPECT_TRUE(out.blockDNS);
}

TEST(MessagePacketTest, FlagsAreTrueForAnyNonZeroByte) {
  auto p = zeroed();
  p->bytes[kKillSwitchOffset] = 2;
  p->bytes[kChangeTimezoneOffset] = 0xFF;
  FirewallRequest r = decodeFirewallRequest(*p);
  EXPECT_TRUE(r.killSwitch);
  EXPECT_TRUE(r.changeTimezone);
  EXPECT_FALSE(r.blockDNS);
}

TEST(MessagePacketTest, FirewallTextsKeepTheLowByteOfEachUnit) {
  auto p = zeroed();
  putUnit(p.get(), kInterfaceToSkipOffset, 0x141);
  putUnit(p.get(), kInterfaceToSkipOffset + 4, 0xFFFFFF62);
  EXPECT_EQ(decodeFirewallRequest(*p).interfaceToSkip, "Ab");
}

TEST(MessagePacketTest, UnterminatedTextsEndAtTheirArea) {
  auto p = zeroed();
  for (size_t i = 0; i < kServerAddressesUnits; ++i) putUnit(p.get(), kServerAddressesOffset + 4 * i, 'a');
  for (size_t i = 0; i < kInterfaceToSkipUnits; ++i) putUnit(p.get(), kInterfaceToSkipOffset + 4 * i, 'b');
  p->bytes[kKillSwitchOffset] = 'c';  // right after the interface's area
  FirewallRequest r = decodeFirewallRequest(*p);
  EXPECT_EQ(r.serverAddresses, std::string(kServerAddressesUnits, 'a'));
  EXPECT_EQ(r.interfaceToSkip, std::string(kInterfaceToSkipUnits, 'b'));

  // The launch text runs to the record's last whole unit; the odd byte after
  // it is never read.
  std::memset(p->bytes, 0x41, sizeof p->bytes);
  std::u32string args = decodeOpenvpnArguments(*p);
  EXPECT_EQ(args.size(), kOpenvpnArgumentsUnits);
  std::u32string path = decodePackagePath(*p);
  EXPECT_EQ(path.size(), kPackagePathUnits);
  EXPECT_EQ(path[0], 0x41414141u);

  TimezoneRequest tz = decodeTimezoneRequest(*p);
  EXPECT_EQ(tz.timezone.size(), kTimezoneBytes);
}

TEST(MessagePacketTest, TimezoneLayout) {
  auto p = zeroed();
  ASSERT_TRUE(encodeTimezoneRequest(p.get(), {true, "Europe/Berlin"}));
  EXPECT_EQ(decodeCommand(*p), AA_COMMAND_TIMEZONE_CHANGE);
  EXPECT_EQ(p->bytes[kRestoreTimezoneOffset], 1);
  EXPECT_EQ(std::memcmp(p->bytes + kTimezoneOffset, "Europe/Berlin", 14), 0);
  TimezoneRequest r = decodeTimezoneRequest(*p);
  EXPECT_TRUE(r.restoreTimezone);
  EXPECT_EQ(r.timezone, "Europe/Berlin");
}

// Command 10's text starts one byte after the others: the byte at offset 4
// belongs to no field of the update layout.
TEST(MessagePacketTest, PackagePathStartsAtOddOffset) {
  auto p = zeroed();
  ASSERT_TRUE(encodePackagePath(p.get(), U"/tmp/a.deb"));
  EXPECT_EQ(p->bytes[4], 0);
  EXPECT_EQ(p->bytes[5], '/');
  p->bytes[4] = 0x7F;
  EXPECT_EQ(decodePackagePath(*p), U"/tmp/a.deb");

  ASSERT_TRUE(encodeOpenvpnArguments(p.get(), U"--config a"));
  EXPECT_EQ(p->bytes[4], '-');
  EXPECT_EQ(decodeOpenvpnArguments(*p), U"--config a");
}

TEST(MessagePacketTest, EncodersRefuseTextsLargerThanTheirArea) {
  auto p = zeroed();
  FirewallRequest r;
  r.interfaceToSkip.assign(kInterfaceToSkipUnits + 1, 'x');
  EXPECT_FALSE(encodeFirewallRequest(p.get(), AA_COMMAND_FIREWALL_ON, r));
  EXPECT_FALSE(encodePackagePath(p.get(), std::u32string(kPackagePathUnits + 1, U'x')));
  EXPECT_TRUE(encodePackagePath(p.get(), std::u32string(kPackagePathUnits, U'x')));
  EXPECT_FALSE(encodeTimezoneRequest(p.get(), {false, std::string(kTimezoneBytes + 1, 'x')}));
}

TEST(MessageReplyTest, NineBytesResultFirstValueZero) {
  MessageReply reply;
  reply.result = 1;
  unsigned char bytes[kMessageReplySize];
  std::memset(bytes, 0xEE, sizeof bytes);
  reply.toBytes(bytes);
  const unsigned char expected[kMessageReplySize] = {1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
  MessageReply back = MessageReply::fromBytes(bytes);
  EXPECT_EQ(back.result, 1);
  EXPECT_EQ(back.value, 0u);
}
