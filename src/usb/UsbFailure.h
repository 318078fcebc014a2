// SPDX-License-Identifier: Apache-2.0
// Why the printer link could not open a printer or move bytes, as the link
// itself knows it. The statuses of the USB access layer only tell failures
// apart for a human reader; these reasons are what the link decides on. The
// application turns each into a result code in one table, and the
// diagnostic trace names them.
#pragma once

#include <cstdint>

#include "usb/UsbAccess.h"

namespace zelvik {

enum class UsbFailure : std::uint8_t {
    none,
    busUnreachable,      // the devices on the bus could not be listed at all
    noSuchPrinter,       // no device of the vendor is named by that URI
    deviceNotOpened,     // a device could not be opened to identify it
    printerHeld,         // another program holds the printer
    accessDenied,        // the device or its interface may not be used by this user
    claimFailed,         // interface 0 could not be claimed for another reason
    noPipes,             // no interface 0 with endpoints, or no pipe of the kind a transfer needs
    settingNotRestored,  // interface 0 could not be put back on its setting
    notOpen,             // a transfer without an open printer
    stalled,             // the printer halted the pipe
    timedOut,            // no data moved within the time-out, or the transfer ran too long
    deviceGone,          // the printer left the bus
    transferFailed,      // any other failed transfer
};

inline constexpr const char* nameOf(UsbFailure failure) {
    switch (failure) {
        case UsbFailure::none: return "none";
        case UsbFailure::busUnreachable: return "busUnreachable";
        case UsbFailure::noSuchPrinter: return "noSuchPrinter";
        case UsbFailure::deviceNotOpened: return "deviceNotOpened";
        case UsbFailure::printerHeld: return "printerHeld";
        case UsbFailure::accessDenied: return "accessDenied";
        case UsbFailure::claimFailed: return "claimFailed";
        case UsbFailure::noPipes: return "noPipes";
        case UsbFailure::settingNotRestored: return "settingNotRestored";
        case UsbFailure::notOpen: return "notOpen";
        case UsbFailure::stalled: return "stalled";
        case UsbFailure::timedOut: return "timedOut";
        case UsbFailure::deviceGone: return "deviceGone";
        case UsbFailure::transferFailed: return "transferFailed";
    }
    return "unknown";
}

// The reason a failed status gives; statuses that say nothing more specific
// give `otherwise`.
inline constexpr UsbFailure failureOf(IOReturn status, UsbFailure otherwise) {
    switch (status) {
        case kIOReturnSuccess: return UsbFailure::none;
        case kIOReturnExclusiveAccess:
        case kIOReturnBusy: return UsbFailure::printerHeld;
        case kIOReturnNotPermitted: return UsbFailure::accessDenied;
        case kIOReturnNotOpen: return UsbFailure::notOpen;
        case kIOUSBPipeStalled: return UsbFailure::stalled;
        case kIOReturnTimeout: return UsbFailure::timedOut;
        case kIOReturnNoDevice: return UsbFailure::deviceGone;
        default: return otherwise;
    }
}

}  // namespace zelvik
