// SPDX-License-Identifier: Apache-2.0
// The virtual bus file: root `simulatedBus`, one `device` element per
// printer description (zelvik-sim(1) lists the elements). A file says what
// it means or it is refused as a whole, with the line and the element that
// is wrong: an unknown element or attribute, a value that cannot be taken
// as written or is out of range, a repeated element, a file that is not
// well-formed XML. A half-read bus would make a test pass or fail for the
// wrong reason.
//
// Only this reader and the types of PrinterDescription.h: the client
// library carries it to check a bus file before it starts the simulating
// helper.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "usb/sim/PrinterDescription.h"

namespace zelvik::sim {

// Where a bus file is wrong, and why.
struct BusFileError {
    long line = 0;        // 0: the file as a whole
    std::string element;  // the element named; empty for the file as a whole
    std::string reason;
};

struct BusFile {
    // The printers with the bus defaults applied; none when the file is
    // refused.
    std::vector<VirtualPrinterConfig> printers;
    std::optional<BusFileError> error;
};

BusFile parseBusFile(const Bytes& xml);
// The largest bus file read.
constexpr std::size_t kLargestBusFile = std::size_t{16} * 1024 * 1024;
// Only a regular file is read (a FIFO or a device is refused, and opening
// it never blocks), of at most kLargestBusFile bytes.
BusFile readBusFile(const std::string& path);

// One line: "PATH:LINE: <element>: reason".
std::string describeBusFileError(const std::string& path, const BusFileError& error);

// Nothing for a good bus file; otherwise the line above.
std::optional<std::string> checkBusFile(const std::string& path);

// The text escapes of the bus file (\r \n \f \e \\ \xNN) made into bytes.
// A backslash that starts no such escape stands for itself.
Bytes unescapeBusText(const std::string& text);

}  // namespace zelvik::sim
