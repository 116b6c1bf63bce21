// druvo --check: what would keep this configuration from printing.
#pragma once

#include "core/settings.h"
#include "spool/printer_address.h"

namespace druvo {

// Says it as "ok:", "warning:" or "error:" lines on stdout; 1 when there
// is an error. Nothing is printed on paper.
int RunCheck(const SpoolSettings& settings, const PrinterAddress& address);

}  // namespace druvo
