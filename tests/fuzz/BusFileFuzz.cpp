// SPDX-License-Identifier: Apache-2.0
// The virtual bus file reader on arbitrary bytes: a bus or an empty bus,
// never a crash; every printer it gives can be built and described.
#include <cstdint>

#include "usb/sim/VirtualPrinter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto printers = zelvik::sim::parseSimulatedBus(zelvik::Bytes(data, data + size));
    for (const auto& config : printers) {
        const zelvik::sim::VirtualPrinter printer(config);
        (void)printer.deviceDescriptor();
        (void)printer.configurationDescriptor();
    }
    return 0;
}
