#include "spool/spool_state.h"

#include <cstdio>
#include <sstream>

namespace druvo {

namespace {

constexpr const char* kHeader = "druvo-state 1";

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

bool SpoolState::operator==(const SpoolState& other) const {
  if (undeletable.size() != other.undeletable.size() || inFlight.size() != other.inFlight.size()) {
    return false;
  }
  for (const auto& [path, f] : undeletable) {
    auto it = other.undeletable.find(path);
    if (it == other.undeletable.end() || it->second.writeTime != f.writeTime ||
        it->second.size != f.size) {
      return false;
    }
  }
  for (const auto& [path, j] : inFlight) {
    auto it = other.inFlight.find(path);
    if (it == other.inFlight.end() || it->second.jobId != j.jobId ||
        it->second.writeTime != j.writeTime || it->second.size != j.size) {
      return false;
    }
  }
  return true;
}

std::string FormatState(const SpoolState& state) {
  std::ostringstream out;
  out << kHeader << '\n';
  for (const auto& [path, f] : state.undeletable) {
    out << "undeletable " << f.writeTime << ' ' << f.size << ' ' << EscapePath(path) << '\n';
  }
  for (const auto& [path, j] : state.inFlight) {
    out << "inflight " << j.jobId << ' ' << j.writeTime << ' ' << j.size << ' ' << EscapePath(path)
        << '\n';
  }
  return out.str();
}

bool ParseState(const std::string& text, SpoolState* state, std::string* error) {
  *state = SpoolState{};
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) {
    *error = "it does not start with \"" + std::string(kHeader) + "\"";
    return false;
  }
  for (int number = 2; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string kind, escaped, rest, path;
    bool ok = false;
    if (fields >> kind) {
      if (kind == "undeletable") {
        RememberedFile f;
        ok = static_cast<bool>(fields >> f.writeTime >> f.size >> escaped) && !(fields >> rest) &&
             UnescapePath(escaped, &path);
        if (ok) state->undeletable[path] = f;
      } else if (kind == "inflight") {
        InFlightJob j;
        ok = static_cast<bool>(fields >> j.jobId >> j.writeTime >> j.size >> escaped) &&
             !(fields >> rest) && j.jobId > 0 && UnescapePath(escaped, &path);
        if (ok) state->inFlight[path] = j;
      }
    }
    if (!ok) {
      *error = "line " + std::to_string(number) + " is damaged";
      *state = SpoolState{};
      return false;
    }
  }
  return true;
}

}  // namespace druvo
