// What a client that is not root may ask openvpn to do. openvpn runs as
// root, and its own options run programs (--up, --plugin), write files
// (--log, --writepid) and read any file (--config /etc/shadow). So such a
// request is carried out only when every option on its command line and
// every directive of every configuration it names is on an allow-list with
// its arguments checked; the files it names are read with the client's own
// rights and written into one configuration that the daemon hands to
// openvpn, so that openvpn reads nothing the client could change after the
// check. The reasoning behind the list is in docs/openvpn.md.
#pragma once

#include <string>
#include <vector>

// Where the check reads files and inspects programs: the requesting user's
// view of the file system (peerPolicySources in openvpn_files.h), or a fake
// in tests.
class OpenvpnPolicySources {
 public:
  virtual ~OpenvpnPolicySources() = default;
  // Reads the whole regular file at the absolute `path` as the requesting
  // user could. False with *why set ("No such file or directory", "not a
  // regular file", "Permission denied", "larger than 256 KiB") otherwise.
  virtual bool readFile(const std::string& path, std::string* content, std::string* why) = 0;
  // True when the absolute `path` leads to a program that only root can
  // change: the program and every directory on its way (links resolved)
  // owned by root and writable by neither group nor others. *resolved is the
  // path with every link resolved. False with *why set otherwise.
  virtual bool rootOwnedProgram(const std::string& path, std::string* resolved, std::string* why) = 0;
};

struct OpenvpnCheck {
  bool allowed = false;
  // When refused: the first option refused and why, e.g. "--up runs a
  // program", with where it was found when in a file
  // ("--plugin loads code into openvpn (/tmp/a.conf line 3)").
  std::string refusal;
  // When allowed: the whole configuration to start openvpn with: one
  // directive a line, every argument quoted, every named file inlined.
  std::string config;
};

// Checks openvpn's command line `words` (without the program name), as a
// shell would have split the client's text, and builds the configuration.
// Configurations named by --config (or a lone word, as openvpn takes one)
// are read through `sources` and parsed as openvpn parses them: comments
// beginning any word, quotes and backslashes, a leading "--", inline blocks
// <name>...</name>. A configuration that names another one, a line too long
// for openvpn to read at once, a byte openvpn would stop at (NUL), an open
// quote and a block without its end are refused, as is a file whose text
// would end its inline block early, and so is a request that reads more
// than 32 files or makes a configuration larger than 1 MiB, and one without
// a remote (openvpn would take any peer that sends to its port).
OpenvpnCheck checkOpenvpnRequest(const std::vector<std::string>& words, OpenvpnPolicySources& sources);
