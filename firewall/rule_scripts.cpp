#include "firewall/rule_scripts.h"

#include <arpa/inet.h>

#include <cstdio>

namespace fwscript {

namespace {

bool isAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string join(Lines lines) {
  std::string text;
  for (std::string_view line : lines) text += line;
  return text;
}

std::vector<std::string> splitServerAddresses(const std::string& serverAddresses) {
  // Reads like getline on a stream: each ";" ends an element, and the rest
  // after the last ";" is one more element unless it is empty.
  std::vector<std::string> elements;
  size_t pos = 0;
  while (pos < serverAddresses.size()) {
    size_t semi = serverAddresses.find(';', pos);
    if (semi == std::string::npos) {
      elements.push_back(serverAddresses.substr(pos));
      break;
    }
    elements.push_back(serverAddresses.substr(pos, semi - pos));
    pos = semi + 1;
  }
  return elements;
}

bool isValidServerAddress(std::string_view element) {
  for (char c : element) {
    if (!isAsciiAlnum(c) && c != '.' && c != ':' && c != '/' && c != '-') return false;
  }
  return true;
}

bool isNumericServerAddress(std::string_view element) {
  const auto isIPv4 = [](std::string_view text) {
    in_addr addr;
    return inet_pton(AF_INET, std::string(text).c_str(), &addr) == 1;
  };
  const size_t slash = element.find('/');
  if (slash == std::string_view::npos) return isIPv4(element);
  const std::string_view mask = element.substr(slash + 1);
  const bool length = !mask.empty() && mask.size() <= 2 &&
                      mask.find_first_not_of("0123456789") == std::string_view::npos && std::stoi(std::string(mask)) <= 32;
  return isIPv4(element.substr(0, slash)) && (length || isIPv4(mask));
}

bool isValidInterfaceName(std::string_view name) {
  // 15 is the kernel's limit (IFNAMSIZ less the terminating zero).
  if (name.size() > 15) return false;
  // A trailing "+" makes a name a prefix: alone it would name every
  // interface, and the kill switch would accept everything.
  if (name == "+") return false;
  for (char c : name) {
    if (!isAsciiAlnum(c) && c != '_' && c != '.' && c != '@' && c != ':' && c != '+' && c != '-') return false;
  }
  return true;
}

std::string killSwitchScript(const std::string& interfaceToSkip, const std::string& serverAddresses) {
  std::string text = join(kKillSwitchHead);
  if (!interfaceToSkip.empty()) {
    text += "iptables -A FORWARD -i " + interfaceToSkip + " -j ACCEPT\n";
    text += "iptables -A INPUT -i " + interfaceToSkip + " -j ACCEPT\n";
    text += "iptables -A OUTPUT -o " + interfaceToSkip + " -j ACCEPT\n";
  }
  for (const std::string& address : splitServerAddresses(serverAddresses)) {
    // An empty element would only give two lines that iptables rejects, one
    // run of iptables each.
    if (address.empty()) continue;
    text += "iptables -A OUTPUT -d " + address + " -j ACCEPT\n";
    text += "iptables -A INPUT -s " + address + " -j ACCEPT\n";
  }
  text += join(kKillSwitchTail);
  return text;
}

std::string printable(std::string_view text, size_t limit) {
  std::string out;
  size_t n = text.size() < limit ? text.size() : limit;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

}  // namespace fwscript
