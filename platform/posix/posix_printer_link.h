// The link to a printer on POSIX: a TCP connection (the host name looked up
// in the background, so that a stop ends the wait) or a device file.
#pragma once

#include <memory>

#include "spool/printer_address.h"
#include "spool/printer_link.h"

namespace druvo {

std::unique_ptr<PrinterLink> MakePrinterLink(const PrinterAddress& address);

}  // namespace druvo
