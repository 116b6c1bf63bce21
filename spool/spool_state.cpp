#include "spool/spool_state.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <tuple>

#include "spool/fault_switch.h"

namespace druvo {

namespace {

constexpr const char* kHeader = "druvo-state 3";
constexpr const char* kHeader2 = "druvo-state 2";    // identities without the bytes' digest
constexpr const char* kOldHeader = "druvo-state 1";  // without identities

// Paths may hold any byte but NUL: blanks, control bytes and '%' are written
// as %XX so that one entry stays one line of fields.
std::string EscapePath(const std::string& path) {
  std::string out;
  for (const char raw : path) {
    const auto c = static_cast<unsigned char>(raw);
    if (c <= 0x20 || c == '%' || c == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool UnescapePath(const std::string& text, std::string* path) {
  path->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      path->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexDigit(text[i + 1]);
    const int lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    path->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return !path->empty() && path->find('\0') == std::string::npos;
}

}  // namespace

std::string StateFileName(const std::string& folder, char separator) {
  std::string name = "state-";
  std::size_t end = folder.size();
  while (end > 1 && folder[end - 1] == separator) --end;  // "/x/" is "/x"
  for (std::size_t i = 0; i < end; ++i) {
    const auto c = static_cast<unsigned char>(folder[i]);
    if (c == static_cast<unsigned char>(separator)) {
      if (i != 0) name += '-';
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.') {
      name += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += escaped;
    }
  }
  // A file name holds 255 bytes: a long path keeps its start and a hash of
  // the whole.
  if (name.size() > 180) {
    unsigned long long hash = 1469598103934665603ULL;
    for (const char c : folder) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "~%016llx", hash);
    name = name.substr(0, 160) + suffix;
  }
  return name;
}

namespace {
// What the state file keeps of each.
auto Kept(const RememberedFile& f) {
  const FileIdentity& id = f.identity;
  return std::tie(f.writeTime, f.size, id.volume, id.file, id.size, id.changeTime, id.content);
}
auto Kept(const InFlightJob& j) {
  return std::tuple_cat(Kept(static_cast<const RememberedFile&>(j)),
                        std::tie(j.jobId, j.jobCreated, j.server, j.resent, j.queue, j.uuid));
}
auto Kept(const CutJob& c) {
  return std::tuple_cat(Kept(static_cast<const RememberedFile&>(c)), std::tie(c.sent));
}
template <typename Map>
bool Same(const Map& a, const Map& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && Kept(x.second) == Kept(y.second);
  });
}
}  // namespace

bool SpoolState::operator==(const SpoolState& other) const {
  return Same(undeletable, other.undeletable) && Same(held, other.held) &&
         Same(inFlight, other.inFlight) && Same(cut, other.cut);
}

std::string FormatState(const SpoolState& state) {
  std::ostringstream out;
  out << kHeader << '\n';
  const auto identity = [&out](const FileIdentity& id) -> std::ostream& {
    return out << id.volume << ' ' << id.file << ' ' << id.changeTime << ' ' << id.content << ' ';
  };
  for (const auto* files : {&state.undeletable, &state.held}) {
    for (const auto& [path, f] : *files) {
      out << (files == &state.held ? "held " : "undeletable ") << f.writeTime << ' ' << f.size
          << ' ';
      identity(f.identity) << EscapePath(path) << '\n';
    }
  }
  for (const auto& [path, c] : state.cut) {
    out << "cut " << c.sent << ' ' << c.writeTime << ' ' << c.size << ' ';
    identity(c.identity) << EscapePath(path) << '\n';
  }
  for (const auto& [path, j] : state.inFlight) {
    out << "inflight " << j.jobId << ' ' << j.jobCreated << ' ' << j.server << ' ' << j.resent
        << ' ' << j.writeTime << ' ' << j.size << ' ';
    identity(j.identity) << EscapePath(j.uuid.empty() ? "-" : j.uuid) << ' '
                         << EscapePath(j.queue.empty() ? "-" : j.queue) << ' ' << EscapePath(path)
                         << '\n';
  }
  return out.str();
}

namespace {

// How a state file of this header version spells its lines.
struct StateVersion {
  bool identities = true;  // from version 2
  bool digests = true;     // from version 3
  bool ReadIdentity(std::istream& fields, FileIdentity* id, std::uint64_t size) const {
    id->size = size;
    return !identities || (static_cast<bool>(fields >> id->volume >> id->file >> id->changeTime) &&
                           (!digests || static_cast<bool>(fields >> id->content)));
  }
};

// "undeletable", "held" or "cut": one remembered file.
bool ParseFileLine(const std::string& kind, std::istream& fields, const StateVersion& v,
                   SpoolState* state) {
  CutJob f;
  std::string escaped, rest, path;
  const bool ok = (kind != "cut" || static_cast<bool>(fields >> f.sent)) &&
                  static_cast<bool>(fields >> f.writeTime >> f.size) &&
                  v.ReadIdentity(fields, &f.identity, f.size) &&
                  static_cast<bool>(fields >> escaped) && !(fields >> rest) &&
                  UnescapePath(escaped, &path);
  if (!ok) return false;
  if (!f.identity.Known()) f.identity = {};
  if (kind == "cut") {
    state->cut[path] = f;
  } else {
    (kind == "held" ? state->held : state->undeletable)[path] = f;
  }
  return true;
}

bool ParseInFlightLine(std::istream& fields, const StateVersion& v, SpoolState* state) {
  InFlightJob j;
  std::string escaped, rest, path, queue, uuid = "-";
  const bool ok =
      static_cast<bool>(fields >> j.jobId) &&
      (!v.identities || static_cast<bool>(fields >> j.jobCreated >> j.server >> j.resent)) &&
      static_cast<bool>(fields >> j.writeTime >> j.size) &&
      v.ReadIdentity(fields, &j.identity, j.size) &&
      (!v.digests || (static_cast<bool>(fields >> escaped) && UnescapePath(escaped, &uuid))) &&
      (!v.identities || (static_cast<bool>(fields >> escaped) && UnescapePath(escaped, &queue))) &&
      static_cast<bool>(fields >> escaped) && !(fields >> rest) &&
      (j.jobId > 0 || (j.jobId == 0 && uuid != "-")) && UnescapePath(escaped, &path);
  if (!ok) return false;
  if (!j.identity.Known()) j.identity = {};
  j.queue = queue == "-" ? std::string() : queue;
  j.uuid = uuid == "-" ? std::string() : uuid;
  state->inFlight[path] = j;
  return true;
}

bool ParseLine(const std::string& line, const StateVersion& v, SpoolState* state) {
  std::istringstream fields(line);
  std::string kind;
  if (!(fields >> kind)) return false;
  if (kind == "undeletable" || (v.identities && kind == "held") || (v.digests && kind == "cut"))
    return ParseFileLine(kind, fields, v, state);
  return kind == "inflight" && ParseInFlightLine(fields, v, state);
}

}  // namespace

bool ParseState(const std::string& text, SpoolState* state, std::string* error) {
  *state = SpoolState{};
  error->clear();
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || (line != kHeader && line != kHeader2 && line != kOldHeader)) {
    *error = "it does not start with \"" + std::string(kHeader) + "\"";
    return false;
  }
  const StateVersion version{line != kOldHeader, line == kHeader};
  int damaged = 0;
  for (int number = 2; std::getline(in, line); ++number) {
    // One entry per line: a damaged one costs only itself. Dropping the
    // rest would print their files again.
    if (line.empty() || ParseLine(line, version, state)) continue;
    if (++damaged <= 5) *error += (damaged == 1 ? "line " : ", ") + std::to_string(number);
  }
  if (damaged > 5) *error += " and " + std::to_string(damaged - 5) + " more";
  if (damaged != 0 && FaultOn(Fault::DamagedLineDropsAll)) {
    *state = SpoolState{};
    return false;
  }
  return true;
}

}  // namespace druvo
