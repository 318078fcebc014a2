// SPDX-License-Identifier: Apache-2.0
// The virtual bus file reader on arbitrary bytes: a bus, or a refusal that
// says where in one line, never a crash; every printer it gives can be
// built, describe itself and take a query on each of its bulk OUT endpoints,
// and written as a bus file is read back as it was (writing it again gives
// the same text).
#include <cstdint>
#include <cstdlib>

#include "usb/sim/BusFile.h"
#include "usb/sim/BusFileWriter.h"
#include "usb/sim/VirtualPrinter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const zelvik::sim::BusFile bus = zelvik::sim::parseBusFile(zelvik::Bytes(data, data + size));
    if (bus.error) {
        const std::string line = zelvik::sim::describeBusFileError("bus.xml", *bus.error);
        if (line.find('\n') != std::string::npos || !bus.printers.empty()) std::abort();
        return 0;
    }
    const std::string written = zelvik::sim::writeBusFile(bus.printers);
    const zelvik::sim::BusFile again = zelvik::sim::parseBusFile(zelvik::Bytes(written.begin(), written.end()));
    if (again.error || zelvik::sim::writeBusFile(again.printers) != written) std::abort();
    const auto start = zelvik::sim::Clock::now();
    for (const auto& config : bus.printers) {
        zelvik::sim::VirtualPrinter printer(config, start);
        (void)printer.deviceDescriptor();
        (void)printer.configurationDescriptor();
        static const std::uint8_t query[] = "\x1b%-12345X@PJL INFO STATUS\r\n@PJL INFO CONFIG\r\n";
        for (const auto& setting : config.interfaces) {
            for (const auto& endpoint : setting.endpoints) {
                if (!endpoint.isIn()) (void)printer.writeBulk(endpoint.address, query, start);
            }
            for (const auto& endpoint : setting.endpoints) {
                if (endpoint.isIn()) (void)printer.readBulk(endpoint.address, 3072, start + std::chrono::hours(1));
            }
        }
    }
    return 0;
}
