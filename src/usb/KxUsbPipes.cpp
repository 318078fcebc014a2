// SPDX-License-Identifier: Apache-2.0
// Opening one printer by its device URI, claiming its interface 0, learning
// its pipes, and the bulk transfers, stall clearing and closing that the
// data commands use.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "base/Trace.h"
#include "usb/KxUsbCommunicater.h"
#include "usb/UsbRequests.h"

namespace zelvik {

namespace {

constexpr int kNotOpened = 7;
constexpr std::int32_t kNotTaken = 7;

// The only interface number the link claims.
constexpr std::uint8_t kPrinterInterfaceNumber = 0;

// Held to a deadline on the monotonic clock: no interruption and no change
// of the system time can make the pause shorter, and restarting after an
// interruption does not make it longer either.
void pauseBeforeTransfer() {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += static_cast<long>(KxUsbCommunicater::kPauseBeforeTransferUs) * 1000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// A transfer's reason: on a pipe the interface does not have (reference 0:
// none of that kind was found), the printer has no pipe for it.
UsbFailure transferFailure(IOReturn status, std::uint8_t pipeRef) {
    if (status == kIOReturnSuccess) return UsbFailure::none;
    return pipeRef == 0 ? UsbFailure::noPipes : failureOf(status, UsbFailure::transferFailed);
}

}  // namespace

int KxUsbCommunicater::openUSBDevice(const std::string& deviceURI) {
    initInstanceVariables();
    // With a target URI set, every device step below runs as an open search.
    setDeviceURI(deviceURI);

    // Each step that fails on the printer asked for says why; no step
    // reached means no device was it.
    mLastFailure = UsbFailure::noSuchPrinter;
    std::optional<std::vector<UsbServiceRef>> services = mUsb.copyMatchingDevices();
    if (!services) {
        mLastFailure = UsbFailure::busUnreachable;
        ZELVIK_TRACE("open %s: the bus could not be listed", deviceURI.c_str());
        return kNotOpened;
    }

    for (UsbServiceRef& service : *services) {
        dealWithDevice(service);
        service.reset();
        // Once an interface is claimed the search is over, whatever the
        // closing of its device reported: going on could let a second
        // device with the same URI replace the printer being opened.
        if (m_inf) break;
    }
    if (m_inf) mLastFailure = UsbFailure::none;
    ZELVIK_TRACE("open %s: %s (%zu devices on the bus)", deviceURI.c_str(),
                 m_inf ? "interface 0 claimed" : nameOf(mLastFailure), services->size());
    return m_inf ? 0 : kNotOpened;
}

std::int32_t KxUsbCommunicater::selectInterface(OpenedDevice& device) {
    // Both ways out: the device closes, the claimed interface (if any)
    // stays open; or the claim is undone too and the step fails.
    auto finish = [&device]() -> std::int32_t { return device.close() == kIOReturnSuccess ? 0 : kNotTaken; };
    auto fail = [this, &device](UsbFailure failure) -> std::int32_t {
        mLastFailure = failure;
        unwindInterface();
        device.close();
        return kNotTaken;
    };

    // This is the printer asked for: from here on a failure is its own,
    // and without an interface 0 to claim it has no pipes.
    mLastFailure = UsbFailure::noPipes;
    std::vector<UsbServiceRef> interfaces;
    if (const IOReturn status = device->CreateInterfaceIterator(&interfaces); status != kIOReturnSuccess) {
        ZELVIK_TRACE("interfaces not listed: %s", nameOfIOReturn(status));
        mLastFailure = failureOf(status, UsbFailure::claimFailed);
        device.close();
        return kNotTaken;
    }
    for (UsbServiceRef& interfaceService : interfaces) {
        dealWithInterface(interfaceService);
        interfaceService.reset();
        if (m_inf) break;
    }
    interfaces.clear();
    if (!m_inf) return finish();

    // Put interface 0 back on the setting whose pipes were learnt, in case
    // an earlier client left it elsewhere.
    std::uint8_t alternateSetting = mClaimedAlternateSetting;
    zelvik::DeviceRequest getInterface;
    getInterface.bmRequestType = kRequestTypeStandardInterfaceIn;
    getInterface.bRequest = kGetInterface;
    getInterface.wValue = 0;
    getInterface.wIndex = kPrinterInterfaceNumber;
    getInterface.wLength = 1;
    getInterface.pData = &alternateSetting;
    const IOReturn status = device->DeviceRequest(getInterface);
    if (status == kIOUSBPipeStalled) {
        // The device could not say; its bulk endpoints are cleared and the
        // setting taken as the one wanted, so no SET_INTERFACE is sent.
        clearEndpoints();
        alternateSetting = mClaimedAlternateSetting;
    } else if (status != kIOReturnSuccess) {
        ZELVIK_TRACE("interface 0's setting not read: %s", nameOfIOReturn(status));
        return fail(failureOf(status, UsbFailure::settingNotRestored));
    }
    if (alternateSetting == mClaimedAlternateSetting) return finish();

    zelvik::DeviceRequest setInterface;
    setInterface.bmRequestType = kRequestTypeStandardInterfaceOut;
    setInterface.bRequest = kSetInterface;
    setInterface.wValue = mClaimedAlternateSetting;
    setInterface.wIndex = kPrinterInterfaceNumber;
    setInterface.wLength = 0;
    if (const IOReturn set = device->DeviceRequest(setInterface); set != kIOReturnSuccess) {
        ZELVIK_TRACE("interface 0 not put back on setting %u: %s", mClaimedAlternateSetting, nameOfIOReturn(set));
        return fail(failureOf(set, UsbFailure::settingNotRestored));
    }
    return finish();
}

void KxUsbCommunicater::dealWithInterface(const UsbServiceRef& interfaceService) {
    std::unique_ptr<UsbInterface> created = mUsb.createInterfaceInterface(interfaceService);
    if (!created) return;
    // The number is known without a claim, and only interface 0 is ever
    // claimed: on Linux a claim takes the interface from its kernel driver,
    // and the other interfaces of a multifunction printer (a memory-card
    // reader, a scanner) must keep theirs, whatever happens on interface 0.
    std::uint8_t number = 0;
    if (created->GetInterfaceNumber(&number) != kIOReturnSuccess || number != kPrinterInterfaceNumber) {
        return;
    }
    // Exclusive: fails when another program holds the interface.
    if (const IOReturn status = created->USBInterfaceOpen(); status != kIOReturnSuccess) {
        ZELVIK_TRACE("claim of interface 0 failed: %s", nameOfIOReturn(status));
        mLastFailure = failureOf(status, UsbFailure::claimFailed);
        return;
    }
    m_inf = std::move(created);
    mClaimedAlternateSetting = 0;

    UsbServiceRef deviceService;
    if (const IOReturn status = m_inf->GetDevice(&deviceService); status != kIOReturnSuccess) {
        mLastFailure = failureOf(status, UsbFailure::claimFailed);
        unwindInterface();
        return;
    }
    mIOService = std::move(deviceService);

    if (const IOReturn status = m_inf->GetNumEndpoints(&m_numPipes); status != kIOReturnSuccess) {
        mLastFailure = failureOf(status, UsbFailure::noPipes);
        unwindInterface();
        return;
    }
    if (m_numPipes == 0) {
        // Setting 0 without endpoints: the printer's pipes are in setting 1,
        // and the walk covers exactly the endpoints found there.
        if (m_inf->SetAlternateInterface(1) != kIOReturnSuccess ||
            m_inf->GetNumEndpoints(&m_numPipes) != kIOReturnSuccess) {
            ZELVIK_TRACE("interface 0 has no endpoints in setting 0 and no setting 1");
            mLastFailure = UsbFailure::noPipes;
            unwindInterface();
            return;
        }
        mClaimedAlternateSetting = 1;
    }
    dealWithPipes();
}

void KxUsbCommunicater::dealWithPipes() {
    if (!m_inf) return;
    // The references describe this interface only, never one that an
    // earlier, failed claim started to walk.
    m_bulkPipeOut = 0;
    m_bulkPipeIn = 0;
    m_intPipeIn = 0;

    for (unsigned pipe = 1; pipe <= m_numPipes; ++pipe) {
        const auto pipeRef = static_cast<std::uint8_t>(pipe);
        std::uint8_t direction = 0;
        std::uint8_t number = 0;
        std::uint8_t transferType = 0;
        std::uint16_t maxPacketSize = 0;
        std::uint8_t interval = 0;
        if (const IOReturn status =
                m_inf->GetPipeProperties(pipeRef, &direction, &number, &transferType, &maxPacketSize, &interval);
            status != kIOReturnSuccess) {
            mLastFailure = failureOf(status, UsbFailure::noPipes);
            unwindInterface();
            return;
        }
        // The lowest reference of each kind wins.
        if (transferType == kUSBBulk && direction == kUSBIn && m_bulkPipeIn == 0) {
            m_bulkPipeIn = pipeRef;
            m_maxBulkPacketSize = maxPacketSize;
        } else if (transferType == kUSBBulk && direction == kUSBOut && m_bulkPipeOut == 0) {
            m_bulkPipeOut = pipeRef;
            m_maxBulkPacketSize = maxPacketSize;
        } else if (transferType == kUSBInterrupt && direction == kUSBIn && m_intPipeIn == 0) {
            m_intPipeIn = pipeRef;
            m_maxIntPacketSize = maxPacketSize;
        }
    }
    ZELVIK_TRACE("interface 0 setting %u: bulk out pipe %u, bulk in pipe %u, interrupt in pipe %u",
                 mClaimedAlternateSetting, m_bulkPipeOut, m_bulkPipeIn, m_intPipeIn);
}

int KxUsbCommunicater::writePipeWithBuffer(const std::uint8_t* buffer, std::uint32_t bufSize) {
    if (!m_inf) {
        mLastFailure = UsbFailure::notOpen;
        return static_cast<int>(kIOReturnNotOpen);
    }
    pauseBeforeTransfer();
    const auto begin = std::chrono::steady_clock::now();
    const IOReturn status = m_inf->WritePipeTO(m_bulkPipeOut, buffer, bufSize, kNoDataTimeoutMs, kCompletionTimeoutMs);
    ZELVIK_TRACE("bulk out %u bytes: %s in %.3f s", bufSize, nameOfIOReturn(status),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    mLastFailure = transferFailure(status, m_bulkPipeOut);
    return static_cast<int>(status);
}

int KxUsbCommunicater::readPipeToBuffer(std::uint8_t* buffer, std::uint32_t* bufSize) {
    if (!m_inf) {
        mLastFailure = UsbFailure::notOpen;
        return static_cast<int>(kIOReturnNotOpen);
    }
    if (!bufSize) {
        mLastFailure = UsbFailure::transferFailed;
        return static_cast<int>(kIOReturnBadArgument);
    }
    pauseBeforeTransfer();
    const auto begin = std::chrono::steady_clock::now();
    const std::uint32_t asked = *bufSize;
    const IOReturn status = m_inf->ReadPipeTO(m_bulkPipeIn, buffer, bufSize, kNoDataTimeoutMs, kCompletionTimeoutMs);
    ZELVIK_TRACE("bulk in up to %u bytes: %u, %s in %.3f s", asked, status == kIOReturnSuccess ? *bufSize : 0,
                 nameOfIOReturn(status),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    mLastFailure = transferFailure(status, m_bulkPipeIn);
    return static_cast<int>(status);
}

void KxUsbCommunicater::closePipes() {
    if (!m_inf) return;
    clearEndpoints();
    m_inf->USBInterfaceClose();
    m_inf.reset();
}

void KxUsbCommunicater::clearEndpoints() {
    if (!m_inf) return;
    // Reference 0 means no pipe of that kind was found: nothing to clear.
    if (m_bulkPipeIn != 0) clearEndpointStall(m_bulkPipeIn);
    if (m_bulkPipeOut != 0) clearEndpointStall(m_bulkPipeOut);
}

IOReturn KxUsbCommunicater::clearEndpointStall(std::uint8_t pipeRef) {
    if (!m_inf) return kIOReturnNotOpen;
    std::uint8_t direction = 0;
    std::uint8_t number = 0;
    std::uint8_t transferType = 0;
    std::uint16_t maxPacketSize = 0;
    std::uint8_t interval = 0;
    IOReturn status = m_inf->GetPipeProperties(pipeRef, &direction, &number, &transferType, &maxPacketSize, &interval);
    if (status != kIOReturnSuccess) return status;

    // The device's halt first, then the host's view of the pipe, so that
    // both ends start again from the same data toggle.
    zelvik::DeviceRequest clearHalt;
    clearHalt.bmRequestType = kRequestTypeStandardEndpointOut;
    clearHalt.bRequest = kClearFeature;
    clearHalt.wValue = kEndpointHalt;
    clearHalt.wIndex = static_cast<std::uint16_t>(direction == kUSBIn ? (number | kEndpointDirectionIn) : number);
    clearHalt.wLength = 0;
    status = m_inf->ControlRequest(0, clearHalt);
    if (status != kIOReturnSuccess) return status;
    return m_inf->ClearPipeStall(pipeRef);
}

void KxUsbCommunicater::abortAndResetPipes() {
    if (!m_inf) return;
    m_inf->AbortPipe(m_bulkPipeOut);
    m_inf->ResetPipe(m_bulkPipeOut);
    m_inf->AbortPipe(m_bulkPipeIn);
    m_inf->ResetPipe(m_bulkPipeIn);
    if (m_intPipeIn != 0) {
        m_inf->AbortPipe(m_intPipeIn);
        m_inf->ResetPipe(m_intPipeIn);
    }
}

void KxUsbCommunicater::unwindInterface() {
    if (!m_inf) return;
    m_inf->USBInterfaceClose();
    m_inf.reset();
}

}  // namespace zelvik
