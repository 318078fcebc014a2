// SPDX-License-Identifier: Apache-2.0
// Virtual printers behind an emulated Linux kernel: a fake sysfs/udev tree
// (root hubs, hubs, printers) and the usbdevfs ioctls of each printer's
// device node answered by the virtual printer model. libusb, unmodified,
// runs against it in this process or in a child process started with the
// environment this process has (umockdev's preload library and its
// UMOCKDEV_DIR), so the zelvik program itself can be run against it.
//
// What it models of the kernel: device enumeration through sysfs and udev,
// port paths (from each printer's location ID), the claim of interface 0 per
// open file, the driver each interface's class binds (the printer class
// driver, a memory-card reader's mass-storage driver, a HID driver; none for
// a vendor interface), which has to be detached for a claim and can be
// re-attached, control and bulk URBs
// (submit, reap, discard) with stalls, and a printer that leaves the bus in
// the middle of a transfer (its node answers ENODEV from then on), and
// printers plugged in and unplugged between commands, with their uevents.
// What it does not: real packet timing, a printer that leaves during a
// transfer leaving the tree too (it is still listed), several
// configurations, isochronous transfers, and a program closing its file
// without releasing its claim (umockdev does not tell when a client closes
// the node).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/sim/BusFile.h"
#include "usb/sim/VirtualPrinter.h"

namespace zelvik::emulation {

// The name the kernel's printer class driver reports.
inline constexpr const char* kPrinterDriverName = "usblp";
// The drivers bound to a multifunction printer's memory-card interface and
// to a HID interface (a front panel's buttons).
inline constexpr const char* kMassStorageDriverName = "usb-storage";
inline constexpr const char* kHidDriverName = "usbhid";

// What happened to the kernel driver of one printer's interface 0, and to
// the interface.
struct KernelDriverState {
    bool bound = false;        // the driver holds interface 0 now
    int detachCount = 0;       // times a program made it give the interface up
    int attachCount = 0;       // times it was bound again
    int claims = 0;            // times a program claimed interface 0
    int releases = 0;          // times it released it
    std::size_t bulkUrbs = 0;  // bulk URBs the printer was given
    // Requests refused because the driver held the interface: a program
    // that tried to use the interface without detaching the driver first.
    std::size_t refusedWhileBound = 0;
    // The drivers of the printer's other interfaces (1, 2, ...): whether
    // each that has one still holds its interface, and the times a program
    // detached one or claimed an interface other than 0.
    bool otherDriversBound = true;
    int otherInterfaceTouches = 0;
};

class EmulatedBus {
public:
    struct Options {
        // Whether the printer class driver is loaded: it then holds every
        // printer's interface 0 from the start, as on a desktop system.
        bool printerDriverLoaded = true;
    };

    // The printers of a virtual bus file's text (the same format the
    // simulated bus reads); a text the bus file reader refuses throws.
    explicit EmulatedBus(const std::string& busFileText);
    EmulatedBus(const std::string& busFileText, Options options);
    EmulatedBus(std::vector<sim::VirtualPrinterConfig> printers, Options options);
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // Printers of the bus file and those plugged in since, unplugged ones too.
    std::size_t printerCount() const;
    // Plugs in a printer described by one `device` element of the bus file
    // format, with the uevent "add"; its index. Without a location ID it
    // takes a bus's first place (port 1 of bus 1) or, taken, the next free
    // port of bus 1's root hub.
    std::size_t plug(const std::string& deviceElement);
    // Unplugs a printer: the uevent "remove", then its node and its place in
    // sysfs go.
    void unplug(std::size_t printer);
    // A uevent for a printer ("change", "bind", ...).
    void announce(std::size_t printer, const char* action);
    // Where a printer sits: its location ID as the host sees it. The
    // configured location ID where it could be emulated (a nonzero bus,
    // ports 1-15, no clash with another device).
    std::uint32_t locationID(std::size_t printer) const;

    KernelDriverState kernelDriver(std::size_t printer) const;
    std::uint64_t bytesReceived(std::size_t printer) const;
    sim::VirtualPrinter::Traffic traffic(std::size_t printer) const;
    bool isHalted(std::size_t printer, std::uint8_t endpointAddress) const;
    std::vector<sim::VirtualPrinter::ControlRecord> controlLog(std::size_t printer) const;
    // Bulk URBs submitted and not finished yet, on every device.
    std::size_t pendingUrbs() const;

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

}  // namespace zelvik::emulation
