// The link to a printer on Windows: a TCP connection through Winsock, with
// only what Windows XP has (select, not WSAPoll).
#pragma once

#include <memory>

#include "spool/printer_address.h"
#include "spool/printer_link.h"

namespace druvo {

std::unique_ptr<PrinterLink> MakePrinterLink(const PrinterAddress& address);

}  // namespace druvo
