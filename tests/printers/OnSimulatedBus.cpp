// SPDX-License-Identifier: Apache-2.0
// The printer catalogue on the in-process simulated bus (zelvik-sim's).
#include "printers/Catalogue.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik::catalogue {
namespace {

class SimulatedPlayer final : public Player {
public:
    void attach(const sim::VirtualPrinterConfig& printer) override {
        mUsb = std::make_unique<SimulatedUsbAccess>(std::vector<sim::VirtualPrinterConfig>{printer});
    }
    UsbAccess& usb() override { return *mUsb; }
    sim::VirtualPrinter::Traffic traffic() override { return mUsb->printer(0).traffic(); }
    Claims claims() override {
        const SimulatedUsbAccess::Activity a = mUsb->activity(0);
        return {static_cast<int>(a.interfaceOpens), static_cast<int>(a.interfaceCloses),
                static_cast<int>(a.otherInterfaceOpens), true};
    }

private:
    std::unique_ptr<SimulatedUsbAccess> mUsb;
};

INSTANTIATE_TEST_SUITE_P(Simulated, PrinterCatalogue,
                         ::testing::Combine(::testing::Values(playerOf<SimulatedPlayer>("simulatedBus")),
                                            ::testing::ValuesIn(entries())),
                         caseName);

}  // namespace
}  // namespace zelvik::catalogue
