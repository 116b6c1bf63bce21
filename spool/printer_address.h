// What the PRINTER argument names: a print queue (the spooler's name, as
// always), a printer on the network reached directly over raw TCP
// (socket://HOST[:PORT], port 9100 by default), or on POSIX a device file
// such as /dev/usb/lp0. "?status=escpos" asks the printer for its state
// before each job.
#pragma once

#include <string>

namespace druvo {

struct PrinterAddress {
  enum class Kind { Queue, Socket, Device };
  Kind kind = Kind::Queue;
  std::string host;  // Socket
  int port = 9100;   // Socket
  std::string path;  // Device
  bool statusQuery = false;
  // Delete a file only once the printer confirmed it came out (ESC/POS).
  bool confirm = false;
  std::string error;  // non-empty: the argument is malformed; this says how
};

// devicePaths: whether a path names a device (POSIX) or stays a queue name.
PrinterAddress ParsePrinterAddress(const std::string& printer, bool devicePaths);

}  // namespace druvo
