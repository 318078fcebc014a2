// SPDX-License-Identifier: Apache-2.0
// The USB access layer, recorded on the way: every call goes to the access
// it wraps (libusb or the simulated bus) unchanged, and what the printers
// answered is kept as a recording of them (Recording.h) in the file that
// ZELVIK_RECORD names. Nothing above this layer knows, and nothing is sent
// to a device that the helper did not send.
//
// A printer is recorded once the helper asked it something over the bus:
// the devices of other vendors, which it only looks at, are not. The file
// is saved whenever a device or interface object is closed after something
// new was learnt, and when the access goes away, so that a run ended from
// outside keeps what it had learnt up to its last close.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usb/UsbAccess.h"

namespace zelvik {

class RecordingUsbAccess final : public UsbAccess {
public:
    // `usb` recorded into the file that ZELVIK_RECORD names (relative to
    // the working directory); none when the variable is unset or empty.
    static std::unique_ptr<RecordingUsbAccess> fromEnvironment(UsbAccess& usb);

    RecordingUsbAccess(UsbAccess& usb, std::string file);
    ~RecordingUsbAccess() override;
    RecordingUsbAccess(const RecordingUsbAccess&) = delete;
    RecordingUsbAccess& operator=(const RecordingUsbAccess&) = delete;

    std::optional<std::vector<UsbServiceRef>> copyMatchingDevices() override;
    std::unique_ptr<UsbDevice> createDeviceInterface(const UsbServiceRef& service) override;
    std::unique_ptr<UsbInterface> createInterfaceInterface(const UsbServiceRef& service) override;

    struct Recorder;  // shared with the device and interface objects

private:
    UsbAccess& mUsb;
    std::shared_ptr<Recorder> mRecorder;
};

}  // namespace zelvik
