// SPDX-License-Identifier: Apache-2.0
// The printer catalogue through libusb on the emulated kernel: the same
// printer descriptions, the unmodified libusb path.
#include "printers/Catalogue.h"
#include "umockdev/EmulatedBus.h"
#include "usb/libusb/LibusbAccess.h"

namespace zelvik::emulation {
namespace {

using catalogue::Player;
using catalogue::PrinterCatalogue;

class EmulatedKernelPlayer final : public Player {
public:
    void attach(const sim::VirtualPrinterConfig& printer) override {
        mAccess.reset();
        mBus.reset();  // one test bed at a time
        mBus = std::make_unique<EmulatedBus>(std::vector<sim::VirtualPrinterConfig>{printer}, EmulatedBus::Options{});
        mAccess = std::make_unique<LibusbAccess>();
        mStart = mBus->kernelDriver(0);
    }
    UsbAccess& usb() override { return *mAccess; }
    sim::VirtualPrinter::Traffic traffic() override { return mBus->traffic(0); }
    Claims claims() override {
        const KernelDriverState now = mBus->kernelDriver(0);
        return {now.claims, now.releases, now.otherInterfaceTouches,
                now.bound == mStart.bound && now.detachCount == now.attachCount && now.otherDriversBound};
    }

private:
    std::unique_ptr<EmulatedBus> mBus;  // outlives the libusb context below
    std::unique_ptr<LibusbAccess> mAccess;
    KernelDriverState mStart;
};

INSTANTIATE_TEST_SUITE_P(
    EmulatedKernel, PrinterCatalogue,
    ::testing::Combine(::testing::Values(catalogue::playerOf<EmulatedKernelPlayer>("emulatedKernel")),
                       ::testing::ValuesIn(catalogue::entries())),
    catalogue::caseName);

}  // namespace
}  // namespace zelvik::emulation
