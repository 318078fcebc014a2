// SPDX-License-Identifier: Apache-2.0
// The USB access layer over a bus of virtual printers, in-process: what the
// unit tests and the program zelvik-sim use instead of real hardware.
//
// It behaves as the platform's USB family does where the printer link can
// tell: device and interface opens are exclusive, a device must be open for
// control requests and an interface for everything but its number and its
// device, statuses are IOReturn values, a stalled endpoint gives
// kIOUSBPipeStalled until cleared, and the bulk transfers really wait:
// without data moving for the no-data time-out, or beyond the completion
// time-out, a transfer fails with kIOReturnTimeout. A time-out of 0 means
// none. Waiting blocks the calling thread; it never spins.
//
// Services and device/interface objects may outlive the access object.
// Everything is guarded by one lock, so the observation hooks may be called
// from another thread while a transfer waits; printer() hands out the model
// itself, which is safe to touch only while no transfer runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usb/UsbAccess.h"
#include "usb/sim/VirtualPrinter.h"

namespace zelvik {

class SimulatedUsbAccess : public UsbAccess {
public:
    // A bus of these printers, in enumeration order. Printers without a
    // vendor or location ID get the bus defaults (applyBusDefaults).
    explicit SimulatedUsbAccess(std::vector<sim::VirtualPrinterConfig> printers);
    // The bus described by the file that the environment variable
    // ZELVIK_SIMULATED_BUS names, read when the bus is first used; unset,
    // unreadable or refused by the bus file reader: an empty bus, and the
    // diagnostic trace says why.
    static std::unique_ptr<SimulatedUsbAccess> fromEnvironment();
    ~SimulatedUsbAccess() override;
    SimulatedUsbAccess(const SimulatedUsbAccess&) = delete;
    SimulatedUsbAccess& operator=(const SimulatedUsbAccess&) = delete;

    // --- UsbAccess ---------------------------------------------------------------
    // Every attached printer, in bus order (unplugged and disconnected ones
    // are gone). Never nothing.
    std::optional<std::vector<UsbServiceRef>> copyMatchingDevices() override;
    std::unique_ptr<UsbDevice> createDeviceInterface(const UsbServiceRef& service) override;
    std::unique_ptr<UsbInterface> createInterfaceInterface(const UsbServiceRef& service) override;

    // --- The printers and what happened to them ----------------------------------
    // Index in bus order; aborts on an index not below printerCount().
    sim::VirtualPrinter& printer(std::size_t index);
    std::size_t printerCount();

    struct Activity {
        bool deviceOpen = false;       // a device object holds it open now
        bool interfaceOpen = false;    // an interface object holds interface 0 now
        unsigned deviceOpens = 0;      // successful USBDeviceOpen calls so far
        unsigned deviceCloses = 0;     // closes, explicit or by destruction
        unsigned interfaceOpens = 0;   // successful USBInterfaceOpen calls so far
        unsigned interfaceCloses = 0;  // closes, explicit or by destruction
        // Successful claims of the printer's other interfaces (1, 2, ...).
        unsigned otherInterfaceOpens = 0;
    };
    Activity activity(std::size_t index);
    // Over the whole bus: devices / interfaces held open right now.
    std::size_t openDeviceCount();
    std::size_t openInterfaceCount();

    // Takes a printer off the bus: it is no longer listed, and every object
    // made for it fails with kIOReturnNoDevice from now on (a transfer
    // waiting on it too).
    void unplug(std::size_t index);

    struct Bus;  // shared with the services and objects made from it

private:
    explicit SimulatedUsbAccess(std::shared_ptr<Bus> bus);

    std::shared_ptr<Bus> mBus;
};

}  // namespace zelvik
