// The texts of the kill switch: file names, rule scripts and the
// ip6tables-restore tables, as plain line tables, plus the checks that keep
// client text out of them unless it is an address or an interface name.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fwscript {

// File names, relative to the data directory (each begins with "/").
inline constexpr std::string_view kKillSwitchScript = "/fw.sh";
inline constexpr std::string_view kOpenScript = "/fwoff.sh";
inline constexpr std::string_view kDnsScript = "/fw_dns.sh";
inline constexpr std::string_view kLocalDevicesScript = "/fw_local_devs.sh";
inline constexpr std::string_view kTunnelNetScript = "/fw_zeph.sh";
inline constexpr std::string_view kIPv6BlockFile = "/fw_v6.sh";
inline constexpr std::string_view kIPv6OpenFile = "/fwoff_v6.sh";
inline constexpr std::string_view kIPv4RulesFile = "/iptables.rules";
inline constexpr std::string_view kIPv6RulesFile = "/ip6tables.rules";

using Lines = std::span<const std::string_view>;

// "/fw.sh", the kill switch: the fixed head and tail around the interface
// and server-address lines (see killSwitchScript).
inline constexpr std::string_view kKillSwitchHead[] = {
    "iptables -A FORWARD -i lo -j ACCEPT\n",
    "iptables -A INPUT -i lo -j ACCEPT\n",
    "iptables -A OUTPUT -o lo -j ACCEPT\n",
};
inline constexpr std::string_view kKillSwitchTail[] = {
    "#other drop\n",
    "iptables -P INPUT DROP\n",
    "iptables -P OUTPUT DROP\n",
    "iptables -P FORWARD DROP\n",
};

// "/fwoff.sh": the all-open IPv4 filter table.
inline constexpr std::string_view kOpenIPv4Lines[] = {
    "iptables -F\n",
    "iptables -P INPUT ACCEPT\n",
    "iptables -P FORWARD ACCEPT\n",
    "iptables -P OUTPUT ACCEPT\n",
};

// "/fw_dns.sh" with DNS allowed (the option false): 364 bytes.
inline constexpr std::string_view kDnsAllowLines[] = {
    "# Enable DNS\n",
    "#dhcp\n",
    "iptables -A OUTPUT -p udp --destination-port 67 -m iprange --src-range 0.0.0.0-255.255.255.255\n",
    "iptables -A INPUT -p udp --source-port 68\n",
    "# dns server ports ##\n",
    "iptables -A OUTPUT -p udp --dport 53 -j ACCEPT\n",
    "iptables -A INPUT -p udp --sport 53 -j ACCEPT\n",
    "iptables -A OUTPUT -p tcp --dport 53 -j ACCEPT\n",
    "iptables -A INPUT -p tcp --sport 53 -j ACCEPT\n",
};
// "/fw_dns.sh" with DNS blocked (the option true): 337 bytes.
inline constexpr std::string_view kDnsBlockLines[] = {
    "# Disable DNS\n",
    "iptables -D OUTPUT -p udp --destination-port 67 -m iprange --src-range 0.0.0.0-255.255.255.255\n",
    "iptables -D INPUT -p udp --source-port 68\n",
    "iptables -D OUTPUT -p udp --dport 53 -j ACCEPT\n",
    "iptables -D INPUT -p udp --sport 53 -j ACCEPT\n",
    "iptables -D OUTPUT -p tcp --dport 53 -j ACCEPT\n",
    "iptables -D INPUT -p tcp --sport 53 -j ACCEPT\n",
};

// "/fw_local_devs.sh": 136 bytes to add, 133 to delete.
inline constexpr std::string_view kLocalDevicesAddLines[] = {
    "# Enable access traffic to the LAN network\n",
    "iptables -A INPUT -s 192.168.0.0/16 -j ACCEPT\n",
    "iptables -A OUTPUT -d 192.168.0.0/16 -j ACCEPT\n",
};
inline constexpr std::string_view kLocalDevicesDeleteLines[] = {
    "# Disable access traffic to LAN network\n",
    "iptables -D INPUT -s 192.168.0.0/16 -j ACCEPT\n",
    "iptables -D OUTPUT -d 192.168.0.0/16 -j ACCEPT\n",
};

// "/fw_zeph.sh", the tunnel network 10.10.1.0/30: 132 bytes to add, 129 to
// delete.
inline constexpr std::string_view kTunnelNetAddLines[] = {
    "# Enable access traffic to the TUN network\n",
    "iptables -A INPUT -s 10.10.1.0/30 -j ACCEPT\n",
    "iptables -A OUTPUT -d 10.10.1.0/30 -j ACCEPT\n",
};
inline constexpr std::string_view kTunnelNetDeleteLines[] = {
    "# Disable access traffic to TUN network\n",
    "iptables -D INPUT -s 10.10.1.0/30 -j ACCEPT\n",
    "iptables -D OUTPUT -d 10.10.1.0/30 -j ACCEPT\n",
};

// "/fw_v6.sh", ip6tables-restore input that drops every IPv6 packet: 74 bytes.
inline constexpr std::string_view kIPv6BlockLines[] = {
    "*filter\n\n",
    ":INPUT DROP [0:0]\n",
    ":FORWARD DROP [0:0]\n",
    ":OUTPUT DROP [0:0]\n\n",
    "COMMIT\n",
};
// "/fwoff_v6.sh", an empty filter table that lets everything pass: 80 bytes.
// The same text is valid iptables-restore input and is what a backup gets
// when the kernel had no filter table to save (see FireWall).
inline constexpr std::string_view kOpenFilterTableLines[] = {
    "*filter\n\n",
    ":INPUT ACCEPT [0:0]\n",
    ":FORWARD ACCEPT [0:0]\n",
    ":OUTPUT ACCEPT [0:0]\n\n",
    "COMMIT\n",
};

// Concatenates `lines`.
std::string join(Lines lines);

// The elements of `serverAddresses` as the kill-switch script uses them:
// split at each ";"; an empty element between two ";" or before a leading
// ";" counts, a trailing ";" adds none, the empty text gives none. Nothing
// is trimmed.
std::vector<std::string> splitServerAddresses(const std::string& serverAddresses);

// True when `element` (one split element) holds only letters, digits and
// ". : / -" (addresses, networks, host names). The empty element is valid.
bool isValidServerAddress(std::string_view element);

// At most this many server-address elements may be host names, which
// iptables looks up one by one, twice each, while the kill-switch script
// runs (numeric addresses and networks are not limited).
inline constexpr size_t kMaxHostNames = 16;

// True when `element` is a numeric IPv4 address or network ("a.b.c.d",
// "a.b.c.d/len", "a.b.c.d/m.m.m.m"), which iptables takes without a lookup.
bool isNumericServerAddress(std::string_view element);

// True when `name` has at most 15 characters, all letters, digits or
// "_ . @ : + -", and is not "+" alone (which iptables reads as every
// interface; "tun+" names a family). The empty name (no tunnel interface)
// is valid.
bool isValidInterfaceName(std::string_view name);

// The text of "/fw.sh" for the tunnel interface and the server addresses:
// two lines per element, none for an empty one. The caller validates both
// first: they are inserted as they stand.
std::string killSwitchScript(const std::string& interfaceToSkip, const std::string& serverAddresses);

// `text` made safe to show in a log line: printable ASCII kept, anything
// else as \xNN, at most `limit` input bytes followed by "..." when cut.
std::string printable(std::string_view text, size_t limit = 64);

}  // namespace fwscript
