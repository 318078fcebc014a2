// SPDX-License-Identifier: Apache-2.0
// Printer descriptions written as a bus file: what a recording of real
// printers is saved as, and what a recorded printer is handed on as. The
// reader (BusFile.h) gives back the same descriptions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "usb/sim/PrinterDescription.h"

namespace zelvik::sim {

// The bus file of these printers, in their order: every setting a bus file
// can carry that differs from its default (the identity always), texts in
// the bus file's escapes, raw bytes as hex pairs, each printer's notes as
// comments of its device element. `comment`, when given, stands above the
// root. What no bus file sets (onReceived, the read faults) is not written.
std::string writeBusFile(const std::vector<VirtualPrinterConfig>& printers, const std::string& comment = {});

// Bytes as bus file text (unescapeBusText gives them back): printable ASCII
// as it is, a backslash doubled, \r \n \f \e for those, \xNN for any other
// byte; then escaped for XML, in an element or an attribute.
std::string escapeBusText(std::string_view bytes);

}  // namespace zelvik::sim
