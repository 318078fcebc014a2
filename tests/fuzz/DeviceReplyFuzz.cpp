// SPDX-License-Identifier: Apache-2.0
// The printer list on arbitrary device replies: a virtual printer whose
// IEEE 1284 device ID (with any length field) and serial-number descriptor
// come from the input, listed by the printer link.
#include <cstdint>
#include <cstring>

#include "usb/KxUsbCommunicater.h"
#include "usb/sim/SimulatedUsbAccess.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // [flags][length field: 2 bytes][split: 1 byte] device ID | serial descriptor
    if (size < 4) return 0;
    const std::uint8_t flags = data[0];
    const auto lengthField = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
    const std::size_t rest = size - 4;
    const std::size_t split = rest == 0 ? 0 : data[3] % (rest + 1);
    const char* text = reinterpret_cast<const char*>(data + 4);

    zelvik::sim::VirtualPrinterConfig config;
    if (flags & 1) config.deviceID = std::string(text, split);
    if (flags & 2) config.deviceIDLength = lengthField;
    if (flags & 4) {
        config.serialDescriptor = zelvik::Bytes(data + 4 + split, data + size);
    } else if (flags & 8) {
        config.serialNumber = std::string(text + split, rest - split);
    }
    std::vector<zelvik::sim::VirtualPrinterConfig> bus{config};
    if (flags & 16) bus.push_back(config);  // two alike: the same URI twice
    zelvik::SimulatedUsbAccess usb(std::move(bus));
    zelvik::KxUsbCommunicater link(usb);
    const auto list = link.picupUSBDevice(flags & 32 ? 1 : -1);
    if (!list) return 0;
    // Every URI listed opens the printer it names.
    if (const zelvik::Value* entries = list->find("deviceInformation")) {
        const zelvik::Dictionary* one = entries->asDictionary();
        if (one != nullptr) {
            if (const std::string* uri = one->findString("deviceURI")) {
                if (link.openUSBDevice(*uri) == 0) link.closePipes();
            }
        }
    }
    return 0;
}
