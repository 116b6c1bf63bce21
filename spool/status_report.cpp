#include "spool/status_report.h"

#include <cstdio>
#include <cstdlib>

#include "core/text_helpers.h"
#include "spool/ports.h"

namespace druvo {

const char* StateName(EngineState state) {
  return state == EngineState::Error ? "error" : state == EngineState::Busy ? "busy" : "idle";
}

EngineState StateNamed(const std::string& name) {
  return name == "error"  ? EngineState::Error
         : name == "busy" ? EngineState::Busy
                          : EngineState::Idle;
}

namespace {

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char raw : text) {
    const auto c = static_cast<unsigned char>(raw);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += raw;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += raw;
    }
  }
  return out + "\"";
}

}  // namespace

std::string StatusLine(const EngineReport& r) {
  std::string line = StateName(r.state);
  if (!r.reason.empty()) line += " (" + r.reason + ")";
  line += "; " + std::to_string(r.waiting) + " waiting";
  if (!r.head.empty()) line += ", " + QuotedForLog(r.head) + " first: " + r.headWhy;
  line += "; " + std::to_string(r.printed) + " printed since start";
  return line;
}

std::string FormatStatus(const EngineReport& r, const StatusContext& c, bool json) {
  const auto seconds = [&](std::uint64_t t) {
    return t == 0 || c.now < t ? 0ULL : (c.now - t) / (1000 * kTicksPerMillisecond);
  };
  const auto age = [&](std::uint64_t t) { return std::to_string(seconds(t)) + " s"; };
  if (json) {
    return std::string("{") + "\"printer\":" + Json(c.printer) + ",\"pattern\":" + Json(c.pattern) +
           ",\"mode\":" + Json(c.mode) + ",\"state\":" + Json(StateName(r.state)) +
           ",\"reason\":" + Json(r.reason) +
           ",\"since_seconds\":" + std::to_string(seconds(r.since)) +
           ",\"waiting\":" + std::to_string(r.waiting) +
           ",\"oldest_seconds\":" + std::to_string(r.waiting == 0 ? 0 : seconds(r.oldest)) +
           ",\"head\":" + Json(r.head) + ",\"head_reason\":" + Json(r.headWhy) +
           ",\"last_printed\":" + Json(r.lastPrinted) +
           ",\"last_printed_seconds\":" + std::to_string(seconds(r.lastPrintedAt)) +
           ",\"last_job\":" + std::to_string(r.lastJobId) +
           ",\"printed\":" + std::to_string(r.printed) + ",\"failed\":" + std::to_string(r.failed) +
           ",\"retried\":" + std::to_string(r.retried) +
           ",\"paused\":" + (c.paused ? "true" : "false") + "}\n";
  }
  std::string out = "Printer: " + c.printer + "\nFolder: " + c.pattern +
                    "\nDelete after: " + c.mode + "\nState: " + StateName(r.state) +
                    (r.reason.empty() ? "" : " (" + r.reason + ")") + ", for " + age(r.since) +
                    (c.paused ? "; paused: no file is sent until resumed" : "") +
                    "\nWaiting: " + std::to_string(r.waiting);
  if (r.waiting != 0) out += ", the oldest for " + age(r.oldest);
  if (!r.head.empty()) out += "\nFirst in line: " + QuotedForLog(r.head) + ": " + r.headWhy;
  out += "\nLast printed: ";
  out += r.lastPrinted.empty()
             ? std::string("none since start")
             : QuotedForLog(r.lastPrinted) + ", " + age(r.lastPrintedAt) + " ago" +
                   (r.lastJobId != 0 ? ", job " + std::to_string(r.lastJobId) : std::string());
  out += "\nSince start: " + std::to_string(r.printed) + " printed, " + std::to_string(r.failed) +
         " failed, " + std::to_string(r.retried) + " sent again\n";
  return out;
}

std::string StatusField(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  // Keys are found outside strings only: a value may hold the key's text.
  bool inString = false;
  std::size_t at = std::string::npos;
  for (std::size_t i = 0; i < json.size(); ++i) {
    if (inString) {
      if (json[i] == '\\')
        ++i;
      else if (json[i] == '"')
        inString = false;
    } else if (json.compare(i, key.size(), key) == 0) {
      at = i + key.size();
      break;
    } else if (json[i] == '"') {
      inString = true;
    }
  }
  if (at == std::string::npos) return "";
  if (at >= json.size() || json[at] != '"')
    return json.substr(at, json.find_first_of(",}", at) - at);
  std::string out;
  for (std::size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\' || i + 1 >= json.size()) {
      out += json[i];
    } else if (json[++i] == 'u' && i + 4 < json.size()) {
      out += static_cast<char>(std::strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16));
      i += 4;
    } else {
      out += json[i];
    }
  }
  return out;
}

}  // namespace druvo
