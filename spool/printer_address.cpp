#include "spool/printer_address.h"

#include <cctype>
#include <cstdlib>

namespace druvo {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Splits off "?query" and reads it; false (with the error set) when unknown.
bool ReadQuery(std::string* rest, PrinterAddress* address) {
  const std::size_t mark = rest->find('?');
  if (mark == std::string::npos) return true;
  const std::string query = Lower(rest->substr(mark + 1));
  rest->erase(mark);
  // Options joined by '&'.
  for (std::size_t from = 0; from <= query.size();) {
    std::size_t to = query.find('&', from);
    if (to == std::string::npos) to = query.size();
    const std::string option = query.substr(from, to - from);
    from = to + 1;
    if (option == "status=escpos") {
      address->statusQuery = true;
    } else if (option == "confirm=escpos") {
      address->confirm = true;
    } else if (option == "confirm=taken") {
      address->keepsLineOpen = true;
    } else if (option.rfind("buffer=", 0) == 0) {
      const std::string digits = option.substr(7);
      const long bytes = std::strtol(digits.c_str(), nullptr, 10);
      if (digits.empty() || digits.size() > 7 ||
          digits.find_first_not_of("0123456789") != std::string::npos || bytes < 256 ||
          bytes > 1048576) {
        address->error = "printer option \"" + option +
                         "\": the buffer is a number of bytes from 256 to 1048576";
        return false;
      }
      address->bufferBytes = static_cast<int>(bytes);
    } else {
      address->error = "unknown printer option \"" + option +
                       "\" (known: status=escpos, confirm=escpos, confirm=taken, buffer=BYTES)";
      return false;
    }
  }
  if (address->confirm && address->keepsLineOpen) {
    address->error = "confirm=escpos and confirm=taken exclude each other";
    return false;
  }
  return true;
}

}  // namespace

PrinterAddress ParsePrinterAddress(const std::string& printer, bool devicePaths) {
  PrinterAddress address;
  static const std::string kScheme = "socket://";
  // Windows upper-cases its command line: the scheme and the host name are
  // read without regard to case.
  if (Lower(printer.substr(0, kScheme.size())) == kScheme) {
    address.kind = PrinterAddress::Kind::Socket;
    std::string rest = printer.substr(kScheme.size());
    const auto refused = [&](const std::string& why) {
      address.error = "\"" + printer + "\"" + why;
      return address;
    };
    if (!ReadQuery(&rest, &address)) return address;
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {  // [IPv6]:port
      const std::size_t close = rest.find(']');
      if (close == std::string::npos) return refused(": missing ']'");
      address.host = rest.substr(1, close - 1);
      if (close + 1 < rest.size()) {
        if (rest[close + 1] != ':') return refused(": ':' expected after ']'");
        port = rest.substr(close + 2);
      }
    } else {
      const std::size_t colon = rest.rfind(':');
      if (colon != std::string::npos && rest.find(':') != colon)
        return refused(": write an IPv6 address in brackets, as socket://[" + rest + "]");
      address.host = rest.substr(0, colon);
      if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (address.host.empty()) return refused(" names no host");
    if (rest.find('/') != std::string::npos)
      return refused(": a raw TCP printer takes no path (socket://HOST[:PORT])");
    if (!port.empty() || rest.find(':') != std::string::npos) {
      long value = 0;
      for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || value > 65535) {
          value = -1;
          break;
        }
        value = value * 10 + (c - '0');
      }
      if (port.empty() || value < 1 || value > 65535)
        return refused(": the port must be a number from 1 to 65535");
      address.port = static_cast<int>(value);
    }
    return address;
  }
  if (devicePaths && !printer.empty() && printer[0] == '/') {
    address.kind = PrinterAddress::Kind::Device;
    address.path = printer;
    ReadQuery(&address.path, &address);
  }
  return address;  // else a queue name, exactly as given
}

void ApplyPrintedModeRule(PrinterAddress& address, int& deleteAfterPrinted) {
  if (address.kind == PrinterAddress::Kind::Queue) return;
  if (deleteAfterPrinted != 0) address.confirm = true;
  if (address.confirm) deleteAfterPrinted = 1;
}

}  // namespace druvo
