// SPDX-License-Identifier: Apache-2.0
// The USB printer link: finds the served vendor's printers on the bus,
// identifies them (IEEE 1284 device ID, serial number), names them by device
// URI, opens one by its URI and moves bytes over its bulk pipes.
//
// One object serves every command of the process. At most one printer
// interface is open in it at a time; the device itself is open only while it
// is identified and its interface claimed. All operations but the cancel
// observer run on the command thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "usb/UsbAccess.h"
#include "usb/UsbFailure.h"
#include "xml/Value.h"

namespace zelvik {

struct Notification;

// The USB vendor ID a device must report to be listed or opened, fixed at
// build time.
extern const std::uint16_t kPrinterVendorID;

// The name of the notification that records a cancel request.
inline constexpr const char* kKxUsbCommunicaterCancel = "KxUsbCommunicaterCancel";

class KxUsbCommunicater {
public:
    // Fixed sizes and time-outs of the pipe I/O.
    static constexpr std::uint32_t kNoDataTimeoutMs = 15000;
    static constexpr std::uint32_t kCompletionTimeoutMs = 60000;
    static constexpr unsigned kPauseBeforeTransferUs = 1000;

    explicit KxUsbCommunicater(UsbAccess& usb);
    ~KxUsbCommunicater();
    KxUsbCommunicater(const KxUsbCommunicater&) = delete;
    KxUsbCommunicater& operator=(const KxUsbCommunicater&) = delete;

    // --- The object and its cancel observer ---------------------------------
    // Clears the per-device state. An interface still claimed is closed (its
    // object is destroyed) and the held device service is let go; the packet
    // sizes, the validity flag and the cancel flag are kept.
    void initInstanceVariables();
    void registNotification();
    void removeNotification();
    void setProcessCancelFlg(const Notification& notification);

    void setDeviceName(std::optional<std::string> name) { mDeviceName = std::move(name); }
    const std::optional<std::string>& deviceName() const { return mDeviceName; }
    void setvendorName(std::optional<std::string> name) { m_vendorName = std::move(name); }
    void setModelName(std::optional<std::string> name) { m_modelName = std::move(name); }
    void setDeviceURI(std::optional<std::string> uri) { m_deviceURI = std::move(uri); }
    void setSerialNumber(std::optional<std::string> serial) { m_serialNumber = std::move(serial); }
    const std::optional<std::string>& serialNumber() const { return m_serialNumber; }
    void setVendorID(std::optional<std::uint32_t> id) { m_vendorID = id; }
    std::optional<std::uint32_t> vendorID() const { return m_vendorID; }
    void setProductID(std::optional<std::uint32_t> id) { m_productID = id; }
    std::optional<std::uint32_t> productID() const { return m_productID; }
    void setLocationID(std::optional<std::uint32_t> id) { m_locationID = id; }
    std::optional<std::uint32_t> locationID() const { return m_locationID; }
    void setIOService(UsbServiceRef service) { mIOService = std::move(service); }
    const UsbServiceRef& ioService() const { return mIOService; }
    void setDeviceToValid() { mDeviceValid = true; }
    void setDeviceToInvalid() { mDeviceValid = false; }
    bool deviceIsValid() const { return mDeviceValid; }

    // --- Discovery and identification ---------------------------------------
    // The listing dictionary {deviceInformation -> array of printer
    // information dictionaries}; nothing when the bus cannot be reached.
    // The maximum is compared as an unsigned number, so a negative one sets
    // no practical limit. It counts the devices identified, those without
    // a model name or serial number (not listed) included; a printer that
    // `listable` turns down is neither listed nor counted.
    using Listable = std::function<bool(const Dictionary& information)>;
    std::optional<Dictionary> picupUSBDevice(std::int32_t maximum, const Listable& listable = nullptr);
    // 0 when the device was identified (and, with a target URI in
    // m_deviceURI, matched and opened); 7 when it was not taken.
    std::int32_t dealWithDevice(const UsbServiceRef& service);
    // The device ID's key/value pairs; nothing without a device, on a failed
    // request or on text that is not UTF-8.
    std::optional<Dictionary> requestDeviceName(UsbDevice* device);
    static std::optional<Dictionary> dictionaryWithString(const std::string* text, const std::string& separator,
                                                          const std::string& andKeyValueSeparator);
    static std::optional<std::string> createDeviceURI(const std::string* vendorName, const std::string* modelName,
                                                      const std::string* deviceSerial, std::uint32_t locationID);
    std::optional<Dictionary> makeInformationDictionary() const;
    // Reads string descriptor `index` as zero-terminated UTF-8 into buffer.
    static IOReturn getStringDescriptor(UsbDevice* device, std::uint8_t index, std::uint8_t* buffer,
                                        std::int32_t bufferSize, std::uint16_t languageID);
    // Writes the UTF-8 form of one UTF-16 code unit (0 to 3 bytes).
    static int utf16UnitToUTF8(std::uint16_t unit, std::uint8_t* out);

    // --- Opening a printer and pipe I/O -------------------------------------
    // 0 when the printer with this exact URI is open with its pipes learnt;
    // 7 otherwise, with the reason in lastFailure().
    int openUSBDevice(const std::string& deviceURI);
    int writePipeWithBuffer(const std::uint8_t* buffer, std::uint32_t bufSize);
    // On entry *bufSize is the capacity; on return the bytes received.
    int readPipeToBuffer(std::uint8_t* buffer, std::uint32_t* bufSize);
    void closePipes();
    void clearEndpoints();
    IOReturn clearEndpointStall(std::uint8_t pipeRef);
    void abortAndResetPipes();
    void dealWithInterface(const UsbServiceRef& interfaceService);
    void dealWithPipes();

    // Why the last open or transfer failed; none after one that succeeded.
    UsbFailure lastFailure() const { return mLastFailure; }

    // Read-only views for tests and diagnostics.
    std::uint8_t bulkPipeOut() const { return m_bulkPipeOut; }
    std::uint8_t bulkPipeIn() const { return m_bulkPipeIn; }
    std::uint8_t intPipeIn() const { return m_intPipeIn; }
    std::uint8_t numPipes() const { return m_numPipes; }
    std::uint32_t maxBulkPacketSize() const { return m_maxBulkPacketSize; }
    std::uint32_t maxIntPacketSize() const { return m_maxIntPacketSize; }
    bool hasOpenInterface() const { return m_inf != nullptr; }
    bool processCancelFlg() const { return mProcessCancelFlg.load(); }
    const std::optional<std::string>& deviceURI() const { return m_deviceURI; }
    const std::optional<std::string>& modelName() const { return m_modelName; }
    const std::optional<std::string>& vendorName() const { return m_vendorName; }

private:
    // A device opened for identification. It is closed and its object
    // released on every path out of the scope that holds it, unless close()
    // was called first; close() reports the close status once.
    class OpenedDevice {
    public:
        explicit OpenedDevice(std::unique_ptr<UsbDevice> device) : mDevice(std::move(device)) {}
        ~OpenedDevice() { close(); }
        OpenedDevice(const OpenedDevice&) = delete;
        OpenedDevice& operator=(const OpenedDevice&) = delete;

        UsbDevice* get() const { return mDevice.get(); }
        UsbDevice* operator->() const { return mDevice.get(); }
        IOReturn close() {
            if (!mDevice) return kIOReturnSuccess;
            const IOReturn status = mDevice->USBDeviceClose();
            mDevice.reset();
            return status;
        }

    private:
        std::unique_ptr<UsbDevice> mDevice;
    };

    // The end of a device step in open mode: claims interface 0, restores
    // its alternate setting and closes the device. Returns the step's result.
    std::int32_t selectInterface(OpenedDevice& device);
    // Closes the interface in m_inf without touching the pipes' halts.
    void unwindInterface();

    UsbAccess& mUsb;

    std::uint8_t m_bulkPipeOut = 0;
    std::uint8_t m_bulkPipeIn = 0;
    std::uint8_t m_intPipeIn = 0;
    std::uint8_t m_numPipes = 0;
    std::uint32_t m_maxBulkPacketSize = 0;
    std::uint32_t m_maxIntPacketSize = 0;
    bool mDeviceValid = false;
    UsbServiceRef mIOService;
    std::optional<std::uint32_t> m_locationID;
    std::optional<std::uint32_t> m_vendorID;
    std::optional<std::uint32_t> m_productID;
    std::optional<std::string> mDeviceName;
    std::optional<std::string> m_serialNumber;
    std::optional<std::string> m_vendorName;
    std::optional<std::string> m_modelName;
    std::optional<std::string> m_deviceURI;
    std::unique_ptr<UsbInterface> m_inf;
    // The alternate setting whose pipes the claim learnt: 0, or 1 when
    // setting 0 has no endpoints.
    std::uint8_t mClaimedAlternateSetting = 0;
    std::atomic<bool> mProcessCancelFlg{false};
    UsbFailure mLastFailure = UsbFailure::none;
};

}  // namespace zelvik
