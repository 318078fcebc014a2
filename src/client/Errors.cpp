// SPDX-License-Identifier: Apache-2.0
// What an Error says: what went wrong, why, and what to do about it.
#include <string>

#include "zelvik/client.h"

namespace zelvik::client {

const char* nameOf(Reason reason) {
    switch (reason) {
        case Reason::none: return "none";
        case Reason::unknown: return "unknown";
        case Reason::busy: return "busy";
        case Reason::busUnreachable: return "busUnreachable";
        case Reason::noSuchPrinter: return "noSuchPrinter";
        case Reason::deviceNotOpened: return "deviceNotOpened";
        case Reason::printerHeld: return "printerHeld";
        case Reason::accessDenied: return "accessDenied";
        case Reason::claimFailed: return "claimFailed";
        case Reason::noPipes: return "noPipes";
        case Reason::settingNotRestored: return "settingNotRestored";
        case Reason::notOpen: return "notOpen";
        case Reason::stalled: return "stalled";
        case Reason::timedOut: return "timedOut";
        case Reason::deviceGone: return "deviceGone";
        case Reason::transferFailed: return "transferFailed";
    }
    return "unknown";
}

namespace {

// A printer that could not be used, by its reason; empty for none.
std::string printerFailure(Reason reason) {
    switch (reason) {
        case Reason::none:
        case Reason::unknown: return "printer not found or busy";
        case Reason::busy: return "busy: a job is printing";
        case Reason::busUnreachable: return "the USB devices could not be listed";
        case Reason::noSuchPrinter: return "printer not found";
        case Reason::deviceNotOpened: return "a USB device could not be opened to identify it";
        case Reason::printerHeld: return "printer held by another program";
        case Reason::accessDenied: return "no access to the printer";
        case Reason::claimFailed: return "the printer's interface could not be claimed";
        case Reason::noPipes: return "the printer has no data pipes";
        case Reason::settingNotRestored: return "the printer's interface setting could not be restored";
        case Reason::notOpen: return "the printer was not open";
        case Reason::stalled: return "the printer halted the transfer";
        case Reason::timedOut: return "the printer stopped taking data";
        case Reason::deviceGone: return "the printer left the bus";
        case Reason::transferFailed: return "a transfer to the printer failed";
    }
    return "printer not found or busy";
}

}  // namespace

std::string Error::message() const {
    std::string text;
    switch (mKind) {
        case ErrorKind::helperReported:
            switch (mCode) {
                case 1: text = "the helper did not carry out the command (unknown command or missing parameter)"; break;
                case 3: text = "the printer list could not be produced"; break;
                case 4:
                    text = "the file to send cannot be used (missing, unreadable, not a regular file or too long)";
                    break;
                case 5: text = "the helper could not save its answer"; break;
                case 7: text = printerFailure(mReason); break;
                case 8: text = "the printer did not answer in time"; break;
                default: text = "the helper reported code " + std::to_string(mCode); break;
            }
            break;
        case ErrorKind::badRequest: text = "request refused"; break;
        case ErrorKind::setupFailed: text = "could not prepare the command"; break;
        case ErrorKind::startFailed: text = "the helper could not be started"; break;
        case ErrorKind::noStatus: text = "the helper ended without a status"; break;
        case ErrorKind::resultMissing: text = "the helper left no result"; break;
        case ErrorKind::resultMalformed: text = "the helper's result makes no sense"; break;
        case ErrorKind::busy: text = printerFailure(Reason::busy); break;
    }
    if (!mDetail.empty()) text += ": " + mDetail;
    return text;
}

std::string Error::advice() const {
    switch (mReason) {
        case Reason::none: break;
        case Reason::unknown:
            return "check that the printer is plugged in, switched on and not in use; 'zelvikctl doctor' tells more";
        case Reason::busy: return "wait for the job to end, then try again";
        case Reason::noSuchPrinter:
            return "plug the printer in and switch it on ('zelvikctl list' shows the printers attached)";
        case Reason::printerHeld:
            return "another program is using the printer: wait for its job to end, then try again";
        case Reason::busUnreachable:
        case Reason::deviceNotOpened:
        case Reason::accessDenied:
            return "check the udev rule and that you are the user at the seat: run 'zelvikctl doctor'";
        case Reason::claimFailed:
            return "a driver or another program may hold the printer's interface: run 'zelvikctl doctor'";
        case Reason::noPipes:
        case Reason::settingNotRestored:
        case Reason::notOpen:
            return "unplug the printer and plug it in again; if that does not help, run 'zelvikctl doctor'";
        case Reason::stalled:
        case Reason::timedOut: return "check the printer (paper, cover, a message on its panel), then try again";
        case Reason::deviceGone:
            return "plug the printer in again and switch it on, then try again (a job cut short may have printed in "
                   "part)";
        case Reason::transferFailed: return "check the cable and the printer, then try again";
    }
    return {};
}

}  // namespace zelvik::client
