// SPDX-License-Identifier: Apache-2.0
// The printer link object: its per-device state and its end of the cancel
// notification. Discovery lives in KxUsbDiscovery.cpp, opening and pipe I/O
// in KxUsbPipes.cpp.
#include "usb/KxUsbCommunicater.h"

#include "base/NotificationCenter.h"

namespace zelvik {

const std::uint16_t kPrinterVendorID = ZELVIK_PRINTER_VENDOR_ID;

KxUsbCommunicater::KxUsbCommunicater(UsbAccess& usb) : mUsb(usb) { initInstanceVariables(); }

KxUsbCommunicater::~KxUsbCommunicater() {
    // A registration that outlived the object would call into freed memory
    // on the next cancel.
    removeNotification();
    // The interface (if any) is closed when m_inf goes, before the device
    // service it belongs to is let go.
    m_inf.reset();
    mIOService.reset();
}

void KxUsbCommunicater::initInstanceVariables() {
    m_bulkPipeOut = 0;
    m_bulkPipeIn = 0;
    m_intPipeIn = 0;
    m_numPipes = 0;
    // Dropping the reference gives the service back; holding on to it
    // would only leak it, as nothing reads it again.
    mIOService.reset();
    m_locationID.reset();
    m_vendorID.reset();
    m_productID.reset();
    mDeviceName.reset();
    m_serialNumber.reset();
    m_vendorName.reset();
    m_modelName.reset();
    m_deviceURI.reset();
    // Destroying the interface object closes a claim still held, so a new
    // open never leaves the previous printer's interface claimed.
    m_inf.reset();
    mClaimedAlternateSetting = 0;
}

void KxUsbCommunicater::registNotification() {
    NotificationCenter::defaultCenter().addObserver(
        this, kKxUsbCommunicaterCancel,
        [this](const Notification& notification) { setProcessCancelFlg(notification); });
}

void KxUsbCommunicater::removeNotification() { NotificationCenter::defaultCenter().removeObserver(this); }

void KxUsbCommunicater::setProcessCancelFlg(const Notification& /*notification*/) { mProcessCancelFlg.store(true); }

}  // namespace zelvik
