// SPDX-License-Identifier: Apache-2.0
// The printer catalogue: every printer described in tests/printers (one per
// interface layout of real printers, and a few made-up shapes) and in
// examples/virtual-printers.xml, run through the helper's commands on each
// player of printer descriptions: the in-process simulated bus in
// catalogue_tests, libusb on the emulated kernel in umockdev_tests. Each
// test binary instantiates PrinterCatalogue with its player.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "usb/UsbAccess.h"
#include "usb/sim/VirtualPrinter.h"

namespace zelvik::catalogue {

// A bus of one described printer, and what happened to it.
class Player {
public:
    virtual ~Player() = default;
    virtual void attach(const sim::VirtualPrinterConfig& printer) = 0;
    virtual UsbAccess& usb() = 0;
    virtual sim::VirtualPrinter::Traffic traffic() = 0;

    struct Claims {
        int claimed = 0;              // claims of interface 0
        int released = 0;             // and its releases
        int othersTouched = 0;        // claims (or driver detaches) of any other interface
        bool driversAsBefore = true;  // every kernel driver bound as at the start
    };
    virtual Claims claims() = 0;
};

struct PlayerFactory {
    const char* name;
    std::unique_ptr<Player> (*make)();
};
template <typename T>
PlayerFactory playerOf(const char* name) {
    return {name, []() -> std::unique_ptr<Player> { return std::make_unique<T>(); }};
}

// One printer of the catalogue: the file, its place in it, and its
// description (or why the file was refused).
struct Entry {
    std::string name;  // the file's name without ".xml", and the device's place if it has several
    std::optional<sim::VirtualPrinterConfig> printer;
    std::string refusal;
};
std::vector<Entry> entries();

using Case = std::tuple<PlayerFactory, Entry>;
void PrintTo(const Case& test, std::ostream* out);
std::string caseName(const ::testing::TestParamInfo<Case>& info);

class PrinterCatalogue : public ::testing::TestWithParam<Case> {};

}  // namespace zelvik::catalogue
