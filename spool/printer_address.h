// What the PRINTER argument names: a print queue (the spooler's name, as
// always), a printer on the network reached directly over raw TCP
// (socket://HOST[:PORT], port 9100 by default), or on POSIX a device file
// such as /dev/usb/lp0. "?status=escpos" asks the printer for its state
// before each job; "?confirm=escpos" deletes a file once the printer says
// it came out.
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
  // confirm=taken: a printer that keeps its line open after a job (never
  // closes it), so a job counts as printed once the printer has taken its
  // bytes. Said, never guessed: a printer out of paper also keeps it open.
  bool keepsLineOpen = false;
  // buffer=N: the printer's receive buffer in bytes; with confirmation, no
  // more than about this much waits unconfirmed besides the receipt sent.
  int bufferBytes = 0;
  std::string error;  // non-empty: the argument is malformed; this says how
};

// devicePaths: whether a path names a device (POSIX) or stays a queue name.
PrinterAddress ParsePrinterAddress(const std::string& printer, bool devicePaths);

// A printer reached directly deletes a receipt once printed exactly when
// it confirms it: asked either way (?confirm=escpos, or deleting once
// printed), both hold.
void ApplyPrintedModeRule(PrinterAddress& address, int& deleteAfterPrinted);

}  // namespace druvo
