#include "control/openvpn_policy.h"

#include <cstring>
#include <string_view>

namespace {

// openvpn reads a configuration line by line into 256 bytes: a longer line
// is taken as several, so a directive could hide in the second piece.
constexpr size_t kMaxLineBytes = 254;  // with the newline and the terminator: 256
constexpr size_t kMaxWords = 16;       // openvpn keeps no more words of a line
// What one request may make the daemon read and write: a provider profile
// with its keys is a few KiB.
constexpr int kMaxFiles = 32;
constexpr size_t kMaxConfigBytes = 1024 * 1024;

struct Directive {
  std::vector<std::string> words;  // [0]: the name, without "--"
  bool isInline = false;           // <name>...</name>: inlineText is the file
  std::string inlineText;
  std::string where;  // "" on the command line, " (PATH line N)" in a file
};

// The reasons an option is refused for, by name.
struct Refused {
  const char* name;
  const char* why;
};
constexpr const char kRunsProgram[] = "runs a program";
constexpr const char kLoadsCode[] = "loads code into openvpn";
constexpr const char kWritesFile[] = "writes or creates a file";
constexpr const char kServer[] = "is for a server";
constexpr const char kUncheckedFile[] = "names a file openvpn cannot take inline";
constexpr Refused kRefused[] = {
    {"up", kRunsProgram}, {"down", kRunsProgram}, {"route-up", kRunsProgram}, {"route-pre-down", kRunsProgram},
    {"ipchange", kRunsProgram}, {"tls-verify", kRunsProgram}, {"auth-user-pass-verify", kRunsProgram},
    {"client-connect", kRunsProgram}, {"client-disconnect", kRunsProgram}, {"learn-address", kRunsProgram},
    {"iproute", kRunsProgram}, {"tls-crypt-v2-verify", kRunsProgram},
    {"plugin", kLoadsCode}, {"engine", kLoadsCode}, {"providers", kLoadsCode}, {"pkcs11-providers", kLoadsCode},
    {"setenv", "sets options or the environment of openvpn's programs"},
    {"setenv-safe", "sets options or the environment of openvpn's programs"},
    {"log", kWritesFile}, {"log-append", kWritesFile}, {"status", kWritesFile}, {"writepid", kWritesFile},
    {"replay-persist", kWritesFile}, {"tls-export-cert", kWritesFile}, {"genkey", kWritesFile},
    {"mktun", kWritesFile}, {"rmtun", kWritesFile}, {"tmp-dir", kWritesFile},
    {"cd", "changes the directory files are found in"}, {"chroot", "changes the directory files are found in"},
    {"daemon", "detaches openvpn and moves its output"},
    {"config", "inside a configuration is not allowed"},
    {"ignore-unknown-option", "hides options from the check"},
    {"server", kServer}, {"server-ipv6", kServer}, {"server-bridge", kServer}, {"mode", kServer},
    {"tls-server", kServer}, {"local", kServer}, {"lport", kServer}, {"port-share", kServer}, {"push", kServer},
    {"client-config-dir", kServer}, {"ifconfig-pool", kServer}, {"client-to-client", kServer},
    {"duplicate-cn", kServer}, {"management-client-auth", kServer},
    {"capath", kUncheckedFile}, {"askpass", kUncheckedFile}, {"pkcs11-id", kUncheckedFile},
};

// Allowed options and their arguments. Each argument's pattern is a kind or a
// choice of kinds and words separated by "|"; "?" before it: optional, "*":
// any number. Kinds: n number, p port, h host or address, d device name,
// w word (printable, no blank), t text (no control character).
struct Allowed {
  const char* name;
  const char* args;
};
constexpr const char kProtos[] = "udp|tcp|udp4|udp6|tcp4|tcp6|tcp-client|tcp4-client|tcp6-client";
constexpr const char kRemote[] = "h ?p ?udp|tcp|udp4|udp6|tcp4|tcp6|tcp-client|tcp4-client|tcp6-client";
constexpr const char kGatewayFlags[] = "*def1|local|autolocal|bypass-dhcp|bypass-dns|block-local|ipv6|!ipv4";
const Allowed kAllowed[] = {
    // The connection.
    {"client", ""}, {"tls-client", ""}, {"pull", ""}, {"nobind", ""}, {"dev", "d"},
    {"dev-type", "tun|tap"}, {"topology", "net30|p2p|subnet"}, {"proto", kProtos}, {"remote", kRemote},
    {"remote-random", ""}, {"remote-random-hostname", ""}, {"resolv-retry", "n|infinite"}, {"port", "p"},
    {"rport", "p"}, {"connect-retry", "n ?n"}, {"connect-retry-max", "n"}, {"connect-timeout", "n"},
    {"server-poll-timeout", "n"}, {"persist-key", ""}, {"persist-tun", ""}, {"persist-remote-ip", ""},
    {"persist-local-ip", ""}, {"explicit-exit-notify", "?n"}, {"single-session", ""},
    {"http-proxy-option", "w ?t ?t"}, {"http-proxy-retry", ""}, {"http-proxy-timeout", "n"},
    {"socks-proxy", "h ?p"}, {"socks-proxy-retry", ""},
    // Keys, certificates and the server's identity.
    {"remote-cert-tls", "server"}, {"remote-cert-ku", "*w"}, {"remote-cert-eku", "t"},
    {"verify-x509-name", "t ?subject|name|name-prefix"}, {"tls-version-min", "w ?or-highest"},
    {"tls-version-max", "w"}, {"tls-cipher", "w"}, {"tls-ciphersuites", "w"}, {"tls-groups", "w"},
    {"tls-cert-profile", "legacy|preferred|suite|insecure"}, {"ecdh-curve", "w"}, {"cipher", "w"},
    {"data-ciphers", "w"}, {"data-ciphers-fallback", "w"}, {"ncp-ciphers", "w"}, {"auth", "w"},
    {"key-direction", "0|1"}, {"auth-retry", "none|nointeract|interact"}, {"auth-nocache", ""},
    {"reneg-sec", "n ?n"}, {"reneg-bytes", "n"}, {"reneg-pkts", "n"}, {"hand-window", "n"},
    {"tran-window", "n"}, {"tls-timeout", "n"}, {"tls-exit", ""}, {"push-peer-info", ""},
    {"mute-replay-warnings", ""}, {"peer-fingerprint", "w"}, {"verify-hash", "w ?SHA1|SHA256"},
    // The tunnel, its routes and its liveness.
    {"ifconfig", "h h"}, {"ifconfig-ipv6", "h h"}, {"route", "h ?h ?h ?n"}, {"route-ipv6", "h ?h ?n"},
    {"route-gateway", "h"}, {"route-metric", "n"}, {"route-delay", "?n ?n"}, {"route-nopull", ""},
    {"redirect-gateway", kGatewayFlags}, {"redirect-private", kGatewayFlags}, {"block-ipv6", ""},
    {"dhcp-option", "w ?t"}, {"pull-filter", "accept|ignore|reject t"}, {"allow-pull-fqdn", ""},
    {"keepalive", "n n"}, {"ping", "n"}, {"ping-restart", "n"}, {"ping-exit", "n"}, {"inactive", "n ?n"},
    {"tun-mtu", "n ?n"}, {"tun-mtu-extra", "n"}, {"link-mtu", "n"}, {"mssfix", "?n ?mtu|fixed"},
    {"fragment", "n ?mtu"}, {"mtu-disc", "no|maybe|yes"}, {"sndbuf", "n"}, {"rcvbuf", "n"},
    {"txqueuelen", "n"}, {"fast-io", ""}, {"passtos", ""}, {"tcp-nodelay", ""}, {"disable-dco", ""},
    {"compress", "?lzo|lz4|lz4-v2|stub|stub-v2|migrate"}, {"comp-lzo", "?yes|no|adaptive"},
    {"allow-compression", "yes|no|asym"}, {"comp-noadapt", ""}, {"disable-occ", ""},
    // Running: privileges dropped, output, the client's view.
    {"user", "w"}, {"group", "w"}, {"mlock", ""}, {"verb", "n"}, {"mute", "n"}, {"suppress-timestamps", ""},
    {"version", ""}, {"script-security", "0|1|2"}, {"up-delay", ""}, {"up-restart", ""}, {"down-pre", ""},
    {"management-hold", ""}, {"management-query-passwords", ""}, {"management-query-proxy", ""},
    {"management-query-remote", ""}, {"management-forget-disconnect", ""}, {"management-signal", ""},
    {"management-up-down", ""}, {"management-log-cache", "n"}, {"management-external-key", "*w"},
    {"management-external-cert", "w"},
};

// Options that name a file, which is read as the client and inlined (or
// given inline); `args` are the arguments after the file.
struct FileOption {
  const char* name;
  const char* args;
  bool fileOptional;  // the option may come without a file (auth-user-pass)
};
const FileOption kFileOptions[] = {
    {"ca", "", false},          {"cert", "", false},   {"key", "", false},       {"extra-certs", "", false},
    {"pkcs12", "", false},      {"tls-auth", "?0|1", false}, {"tls-crypt", "", false}, {"tls-crypt-v2", "", false},
    {"secret", "?0|1", false},  {"dh", "", false},     {"crl-verify", "", false}, {"auth-user-pass", "", true},
    {"http-proxy-user-pass", "", false},
};

template <class T, size_t N>
const T* findByName(const T (&table)[N], const std::string& name) {
  for (const T& entry : table)
    if (name == entry.name) return &entry;
  return nullptr;
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\0'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlnum(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool allOf(std::string_view s, bool (*ok)(char)) {
  for (char c : s)
    if (!ok(c)) return false;
  return true;
}

// One argument against one kind or word of a pattern.
bool matchesKind(std::string_view kind, const std::string& arg) {
  if (kind.size() > 1) return arg == kind;  // a word to match exactly
  switch (kind[0]) {
    case 'n':
      return !arg.empty() && arg.size() <= 10 && allOf(arg, isDigit);
    case 'p':
      return !arg.empty() && arg.size() <= 5 && allOf(arg, isDigit) && std::stoi(arg) >= 1 && std::stoi(arg) <= 65535;
    case 'h':
      return !arg.empty() && arg.size() <= 253 && arg[0] != '-' &&
             allOf(arg, [](char c) { return isAlnum(c) || c == '.' || c == ':' || c == '_' || c == '-' || c == '/'; });
    case 'd':
      return !arg.empty() && arg.size() <= 15 && arg[0] != '-' &&
             allOf(arg, [](char c) { return isAlnum(c) || c == '.' || c == '_' || c == '-'; });
    case 'w':
      return !arg.empty() && allOf(arg, [](char c) { return c > ' ' && c != 0x7f; });
    case 't':
      return allOf(arg, [](char c) { return !isControl(static_cast<unsigned char>(c)); });
    default:
      return arg == kind;
  }
}

bool matchesPattern(std::string_view pattern, const std::string& arg) {
  for (size_t start = 0;;) {
    const size_t bar = pattern.find('|', start);
    if (matchesKind(pattern.substr(start, bar - start), arg)) return true;
    if (bar == std::string_view::npos) return false;
    start = bar + 1;
  }
}

// `args` against the patterns in `patterns` (blank-separated); "" when they fit,
// else what is wrong.
std::string checkArgs(std::string_view patterns, const std::vector<std::string>& args, size_t first) {
  size_t i = first;
  for (size_t start = 0; start < patterns.size();) {
    size_t end = patterns.find(' ', start);
    if (end == std::string_view::npos) end = patterns.size();
    std::string_view pattern = patterns.substr(start, end - start);
    start = end + 1;
    const bool optional = pattern[0] == '?', many = pattern[0] == '*';
    if (optional || many) pattern.remove_prefix(1);
    do {
      if (i >= args.size()) {
        if (optional || many) return "";
        return "needs more arguments";
      }
      if (!matchesPattern(pattern, args[i])) return "does not take the argument \"" + args[i] + "\"";
      ++i;
    } while (many);
  }
  return i < args.size() ? "takes fewer arguments" : "";
}

// The text of a line as openvpn splits it: words end at blanks; a word
// beginning with # or ; begins a comment; "..." and '...' quote; a backslash
// (outside '...') makes the next character literal, and only \ " and blanks
// may follow it. False when openvpn would not take the line.
bool splitConfigLine(std::string_view line, std::vector<std::string>* words) {
  enum State { kInitial, kUnquoted, kQuoted, kSingleQuoted, kDone } state = kInitial;
  bool backslash = false;
  std::string word;
  words->clear();
  for (size_t i = 0; i <= line.size(); ++i) {
    const char in = i < line.size() ? line[i] : '\0';
    if (!backslash && in == '\\' && state != kSingleQuoted) {
      backslash = true;
      continue;
    }
    char out = 0;
    if (state == kInitial) {
      if (!isSpace(in)) {
        if (in == ';' || in == '#') break;  // a comment, even after a backslash
        if (!backslash && in == '"') {
          state = kQuoted;
        } else if (!backslash && in == '\'') {
          state = kSingleQuoted;
        } else {
          out = in;
          state = kUnquoted;
        }
      }
    } else if (state == kUnquoted) {
      if (!backslash && isSpace(in)) state = kDone; else out = in;
    } else if (state == kQuoted) {
      if (!backslash && in == '"') state = kDone; else out = in;
    } else if (in == '\'') {
      state = kDone;
    } else {
      out = in;
    }
    if (state == kDone) {
      words->push_back(std::move(word));
      word.clear();
      state = kInitial;
    }
    if (backslash && out != 0 && out != '\\' && out != '"' && !isSpace(out)) return false;
    backslash = false;
    if (out != 0) word.push_back(out);
  }
  return state == kInitial && words->size() <= kMaxWords;
}

// What makes `text` unfit for openvpn's line reader: a NUL, or a line longer
// than it reads at once ("" when fit).
std::string lineProblem(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return "holds a NUL byte";
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end - start > kMaxLineBytes) return "has a line longer than openvpn reads at once";
    start = end + 1;
  }
  return "";
}

// True when openvpn would take `line` for the end of the block `name`.
bool endsBlock(std::string_view line, const std::string& name) {
  size_t i = 0;
  while (i < line.size() && isSpace(line[i]) && line[i] != '\0') ++i;
  return line.substr(i).starts_with("</" + name + ">");
}

std::string base64(std::string_view data) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
    for (size_t k = 0; k < 4; ++k) out += k <= data.size() - i ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
    if ((i / 3 + 1) % 16 == 0) out += '\n';  // 64 characters a line
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

// A word quoted so that openvpn reads it back as it is.
std::string quoted(const std::string& word) {
  std::string q = "\"";
  for (char c : word) {
    if (c == '\\' || c == '"') q += '\\';
    q += c;
  }
  return q + "\"";
}

class Checker {
 public:
  explicit Checker(OpenvpnPolicySources& sources) : sources_(sources) {}

  OpenvpnCheck run(const std::vector<std::string>& words) {
    OpenvpnCheck check;
    // Without a remote, openvpn takes the first peer that sends to its port.
    check.allowed = checkAll(words) && (hasRemote_ || refuse("openvpn would wait for any peer: --remote is needed"));
    if (check.allowed) {
      check.config = std::move(config_);
    } else {
      check.refusal = refusal_;
    }
    return check;
  }

 private:
  // openvpn's command line: each "--name" takes the words up to the next
  // word that begins with "--"; a lone word without it is a configuration.
  // Each option is checked in turn, a configuration's directives where it
  // is named, so the first one refused is the one reported.
  bool checkAll(const std::vector<std::string>& words) {
    if (words.size() == 1 && !words[0].starts_with("--")) return checkConfig(words[0]);
    for (size_t i = 0; i < words.size();) {
      if (!words[i].starts_with("--")) {
        refusal_ = "\"" + words[i] + "\" is not an option";
        return false;
      }
      Directive d;
      d.words.push_back(words[i].substr(2));
      for (++i; i < words.size() && !words[i].starts_with("--"); ++i) d.words.push_back(words[i]);
      if (d.words.size() > kMaxWords) {
        refusal_ = "--" + d.words[0] + " has too many arguments";
        return false;
      }
      if (d.words[0] != "config" ? !emit(d) : d.words.size() != 2 ? refuse("--config takes one file")
                                                                  : !checkConfig(d.words[1]))
        return false;
    }
    return true;
  }

  bool refuse(const std::string& why) {
    refusal_ = why;
    return false;
  }

  // Reads one configuration and checks its directives, line by line.
  bool checkConfig(const std::string& path) {
    std::string text, why;
    if (!readAsClient(path, &text, &why)) {
      refusal_ = "--config " + path + ": " + why;
      return false;
    }
    if (const std::string problem = lineProblem(text); !problem.empty()) {
      refusal_ = "--config " + path + ": the file " + problem;
      return false;
    }
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);  // openvpn skips a byte order mark
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      lines.push_back(std::string_view(text).substr(start, end - start));
      start = end;
    }
    for (size_t n = 0; n < lines.size(); ++n) {
      Directive d;
      d.where = " (" + path + " line " + std::to_string(n + 1) + ")";
      if (!splitConfigLine(lines[n], &d.words)) {
        refusal_ = "openvpn cannot read line " + std::to_string(n + 1) + " of " + path;
        return false;
      }
      if (d.words.empty()) continue;
      std::string& name = d.words[0];
      if (name.size() >= 3 && name.starts_with("--")) name.erase(0, 2);
      if (d.words.size() == 1 && name.size() >= 2 && name.front() == '<' && name.back() == '>') {
        name = name.substr(1, name.size() - 2);
        d.isInline = true;
        size_t end = n + 1;
        while (end < lines.size() && !endsBlock(lines[end], name)) d.inlineText += lines[end++];
        if (end == lines.size()) {
          refusal_ = "<" + name + "> has no end tag" + d.where;
          return false;
        }
        n = end;
      }
      if (!emit(d)) return false;
    }
    return true;
  }

  bool readAsClient(const std::string& path, std::string* text, std::string* why) {
    if (!path.starts_with("/")) {
      *why = "the path must be absolute";
      return false;
    }
    if (++filesRead_ > kMaxFiles) {
      *why = "more than " + std::to_string(kMaxFiles) + " files in one request";
      return false;
    }
    return sources_.readFile(path, text, why);
  }

  void line(const std::vector<std::string>& words) {
    std::string l = words[0];
    for (size_t i = 1; i < words.size(); ++i) l += " " + quoted(words[i]);
    pending_.push_back(l + "\n");
  }

  // Checks one directive and adds it to the configuration.
  bool emit(const Directive& d) {
    pending_.clear();
    if (!check(d)) return refuse("--" + d.words[0] + " " + refusal_ + d.where);
    for (const std::string& l : pending_) {
      // An inline block's lines were checked where they were read.
      if (!l.starts_with("<") && l.size() > kMaxLineBytes + 1)
        return refuse("--" + d.words[0] + " makes a line longer than openvpn reads at once" + d.where);
      config_ += l;
    }
    if (config_.size() > kMaxConfigBytes)
      return refuse("--" + d.words[0] + " makes the configuration larger than 1 MiB" + d.where);
    return true;
  }

  bool check(const Directive& d) {
    const std::string& name = d.words[0];
    for (const std::string& w : d.words)
      if (!matchesKind("t", w)) {
        refusal_ = "has a control character in an argument";
        return false;
      }
    if (const FileOption* f = findByName(kFileOptions, name)) return fileOption(*f, d);
    const Refused* refused = findByName(kRefused, name);
    if (d.isInline) {
      if (name != "peer-fingerprint" && name != "verify-hash")
        return refuse(refused != nullptr ? refused->why : "cannot be given inline");
      pending_.push_back("<" + name + ">\n" + d.inlineText + "</" + name + ">\n");
      return true;
    }
    if (name == "up" || name == "down") return script(d);
    if (name == "management") return management(d);
    if (name == "http-proxy") return httpProxy(d);
    if (refused != nullptr) return refuse(refused->why);
    const Allowed* a = findByName(kAllowed, name);
    hasRemote_ = hasRemote_ || name == "remote";
    if (a == nullptr) {
      refusal_ = "is not on the list of allowed options";
      return false;
    }
    refusal_ = checkArgs(a->args, d.words, 1);
    if (!refusal_.empty()) return false;
    line(d.words);
    return true;
  }

  // ca, cert, key ...: the file is read as the client and inlined.
  bool fileOption(const FileOption& f, const Directive& d) {
    const std::string& name = d.words[0];
    std::string text;
    size_t after = 2;  // the first argument after the file
    if (d.isInline) {
      text = d.inlineText;
      after = 1;
    } else if (d.words.size() < 2 && f.fileOptional) {
      line(d.words);
      return true;
    } else if (d.words.size() < 2) {
      refusal_ = "needs a file";
      return false;
    } else if (name == "dh" && d.words[1] == "none") {
      line(d.words);
      return true;
    } else {
      std::string why;
      if (!readAsClient(d.words[1], &text, &why)) {
        refusal_ = d.words[1] + ": " + why;
        return false;
      }
      if (name == "pkcs12") text = base64(text);  // inline, openvpn takes it in base64
      if (std::string problem = lineProblem(text); !problem.empty()) {
        refusal_ = d.words[1] + ": the file " + problem;
        return false;
      }
      if (!text.empty() && text.back() != '\n') text += '\n';
      for (size_t start = 0; start < text.size(); start = text.find('\n', start) + 1)
        if (endsBlock(std::string_view(text).substr(start), name)) {
          refusal_ = d.words[1] + ": the file would end its inline block early";
          return false;
        }
    }
    refusal_ = checkArgs(f.args, d.words, after);
    if (!refusal_.empty()) return false;
    pending_.push_back("<" + name + ">\n" + text + "</" + name + ">\n");
    // A key's direction cannot follow an inline block on its line.
    if ((name == "tls-auth" || name == "secret") && d.words.size() > after) line({"key-direction", d.words[after]});
    return true;
  }

  // up and down only with a program that only root can change, given as one
  // word (openvpn splits the text into a program and its arguments).
  bool script(const Directive& d) {
    const bool plainPath = d.words.size() == 2 && d.words[1].starts_with("/") &&
                           allOf(d.words[1], [](char c) { return isAlnum(c) || std::strchr("/._+-", c) != nullptr; });
    std::string resolved, why;
    if (!plainPath) {
      refusal_ = std::string(kRunsProgram) + " (only a program root owns, named by its path alone, may run)";
      return false;
    }
    if (!sources_.rootOwnedProgram(d.words[1], &resolved, &why)) {
      refusal_ = std::string(kRunsProgram) + " (" + d.words[1] + ": " + why + ")";
      return false;
    }
    line({d.words[0], resolved});
    return true;
  }

  // Only on a loopback TCP address: a unix socket would be a file created as
  // root at a path of the client's choosing. Only on a port any user could
  // take, so that root's openvpn takes no port from a system service.
  bool management(const Directive& d) {
    const std::vector<std::string>& w = d.words;
    const bool loopback =
        w.size() >= 2 && (w[1] == "::1" || (w[1].starts_with("127.") &&
                                            allOf(w[1], [](char c) { return isDigit(c) || c == '.'; })));
    if (w.size() != 3 || !loopback || !matchesKind("p", w[2]) || std::stoi(w[2]) < 1024) {
      refusal_ = "is allowed only on a loopback address and a port from 1024, without a password file";
      return false;
    }
    line(w);
    return true;
  }

  // The proxy's credentials come from --http-proxy-user-pass, read as the
  // client; openvpn cannot take this option's own file inline.
  bool httpProxy(const Directive& d) {
    refusal_ = checkArgs("h p ?auto|auto-nct ?none|basic|ntlm", d.words, 1);
    if (!refusal_.empty()) {
      if (d.words.size() > 3) refusal_ += " (give the proxy's credentials with --http-proxy-user-pass)";
      return false;
    }
    line(d.words);
    return true;
  }

  OpenvpnPolicySources& sources_;
  std::string refusal_;
  std::string config_;
  int filesRead_ = 0;
  bool hasRemote_ = false;
  std::vector<std::string> pending_;  // the lines of the directive being checked
};

}  // namespace

OpenvpnCheck checkOpenvpnRequest(const std::vector<std::string>& words, OpenvpnPolicySources& sources) {
  return Checker(sources).run(words);
}
