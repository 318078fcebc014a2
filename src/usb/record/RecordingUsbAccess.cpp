// SPDX-License-Identifier: Apache-2.0
#include "usb/record/RecordingUsbAccess.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>

#include "usb/UsbRequests.h"
#include "usb/record/Recording.h"

namespace zelvik {

using Clock = std::chrono::steady_clock;

struct RecordingUsbAccess::Recorder {
    explicit Recorder(std::string path) : file(std::move(path)) {}

    struct Printer {
        UsbServiceRef service;  // held, so that no other service takes its address
        record::PrinterRecord record;
        std::uint8_t serialIndex = 0;
        bool touched = false;  // asked something over the bus
    };

    std::mutex mutex;
    const std::string file;
    std::vector<Printer> printers;
    // The interface services of the printers' devices, and whose they are.
    std::vector<std::pair<UsbServiceRef, std::size_t>> interfaces;
    bool unsaved = false;

    // The rest with the lock held.
    std::size_t indexOf(const UsbServiceRef& device) {
        const auto known = std::find_if(printers.begin(), printers.end(),
                                        [&](const Printer& p) { return p.service.get() == device.get(); });
        if (known != printers.end()) return static_cast<std::size_t>(known - printers.begin());
        printers.push_back({device, {}, 0, false});
        return printers.size() - 1;
    }

    // The printer of a device the helper asks something: its identity is
    // read from the device object (what the bus listed, nothing is sent).
    Printer& touch(const UsbServiceRef& device, UsbDevice& object) {
        Printer& p = printers[indexOf(device)];
        if (!p.touched) {
            p.touched = true;
            object.GetDeviceVendor(&p.record.vendorID);
            object.GetDeviceProduct(&p.record.productID);
            object.GetLocationID(&p.record.locationID);
            object.USBGetSerialNumberStringIndex(&p.serialIndex);
        }
        unsaved = true;
        return p;
    }

    // The device ID and the serial-number string, as the bytes they came as.
    void controlRequest(const UsbServiceRef& device, UsbDevice& object, const DeviceRequest& r, IOReturn status) {
        const bool deviceID = r.bmRequestType == kRequestTypeClassInterfaceIn && r.bRequest == kPrinterGetDeviceID;
        const bool string = r.bmRequestType == kRequestTypeStandardDeviceIn && r.bRequest == kGetDescriptor &&
                            (r.wValue >> 8) == kDescriptorString;
        if (!deviceID && !string) return;
        std::lock_guard lock(mutex);
        Printer& p = touch(device, object);
        const bool replied = status == kIOReturnSuccess || status == kIOReturnUnderrun || status == kIOReturnOverrun;
        if (!replied || r.pData == nullptr) return;
        const auto* data = static_cast<const std::uint8_t*>(r.pData);
        const Bytes reply(data, data + std::min<std::uint32_t>(r.wLenDone, r.wLength));
        if (deviceID) {
            p.record.deviceIDReply = reply;
        } else if ((r.wValue & 0xFF) == p.serialIndex && p.serialIndex != 0 && !reply.empty() &&
                   (!p.record.serialDescriptor || p.record.serialDescriptor->size() < reply.size())) {
            // The header, then the whole descriptor: the longest reply.
            p.record.serialDescriptor = reply;
        }
    }

    void save() {
        std::lock_guard lock(mutex);
        if (!unsaved) return;
        std::vector<record::PrinterRecord> records;
        for (const Printer& p : printers) {
            if (p.touched) records.push_back(p.record);
        }
        if (!record::save(file, records)) return;
        // Everything else is merged again at the next save to the same end;
        // a note only once.
        unsaved = false;
        for (Printer& p : printers) p.record.notes.clear();
    }
};

namespace {

using Recorder = RecordingUsbAccess::Recorder;

class RecordingDevice final : public UsbDevice {
public:
    RecordingDevice(std::shared_ptr<Recorder> recorder, UsbServiceRef service, std::unique_ptr<UsbDevice> device)
        : mRecorder(std::move(recorder)), mService(std::move(service)), mDevice(std::move(device)) {}
    ~RecordingDevice() override { mRecorder->save(); }
    RecordingDevice(const RecordingDevice&) = delete;
    RecordingDevice& operator=(const RecordingDevice&) = delete;

    IOReturn USBDeviceOpen() override { return mDevice->USBDeviceOpen(); }
    IOReturn USBDeviceClose() override {
        const IOReturn status = mDevice->USBDeviceClose();
        mRecorder->save();
        return status;
    }
    IOReturn GetDeviceVendor(std::uint16_t* vendorID) override { return mDevice->GetDeviceVendor(vendorID); }
    IOReturn GetDeviceProduct(std::uint16_t* productID) override { return mDevice->GetDeviceProduct(productID); }
    IOReturn GetLocationID(std::uint32_t* locationID) override { return mDevice->GetLocationID(locationID); }
    IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) override {
        return mDevice->USBGetSerialNumberStringIndex(index);
    }

    IOReturn DeviceRequest(zelvik::DeviceRequest& request) override {
        const IOReturn status = mDevice->DeviceRequest(request);
        mRecorder->controlRequest(mService, *mDevice, request, status);
        return status;
    }

    IOReturn CreateInterfaceIterator(std::vector<UsbServiceRef>* interfaces) override {
        const IOReturn status = mDevice->CreateInterfaceIterator(interfaces);
        if (status == kIOReturnSuccess && interfaces != nullptr) {
            std::lock_guard lock(mRecorder->mutex);
            const std::size_t printer = mRecorder->indexOf(mService);
            for (const UsbServiceRef& interface : *interfaces) mRecorder->interfaces.emplace_back(interface, printer);
        }
        return status;
    }

private:
    std::shared_ptr<Recorder> mRecorder;
    UsbServiceRef mService;
    std::unique_ptr<UsbDevice> mDevice;
};

// Interface 0 of a printer: its settings as the helper reads them, and its
// bulk traffic taken apart into queries (a write that a read follows) and
// print jobs (a write that none follows).
class RecordingInterface final : public UsbInterface {
public:
    RecordingInterface(std::shared_ptr<Recorder> recorder, std::optional<std::size_t> printer,
                       std::unique_ptr<UsbInterface> interface)
        : mRecorder(std::move(recorder)), mPrinter(printer), mInterface(std::move(interface)) {}
    ~RecordingInterface() override {
        if (mOpen) endSession();
    }
    RecordingInterface(const RecordingInterface&) = delete;
    RecordingInterface& operator=(const RecordingInterface&) = delete;

    IOReturn USBInterfaceOpen() override {
        const IOReturn status = mInterface->USBInterfaceOpen();
        if (status == kIOReturnSuccess && !mOpen) startSession();
        return status;
    }
    IOReturn USBInterfaceClose() override {
        const IOReturn status = mInterface->USBInterfaceClose();
        if (mOpen) endSession();
        return status;
    }

    IOReturn GetInterfaceNumber(std::uint8_t* number) override {
        const IOReturn status = mInterface->GetInterfaceNumber(number);
        if (status == kIOReturnSuccess && number != nullptr) mNumber = *number;
        return status;
    }
    IOReturn GetNumEndpoints(std::uint8_t* count) override {
        const IOReturn status = mInterface->GetNumEndpoints(count);
        if (status == kIOReturnSuccess && count != nullptr && recording()) {
            auto& pipes = mSettings[mSetting];
            if (pipes.size() != *count) pipes.assign(*count, std::nullopt);
        }
        return status;
    }
    IOReturn SetAlternateInterface(std::uint8_t alternateSetting) override {
        const IOReturn status = mInterface->SetAlternateInterface(alternateSetting);
        if (status == kIOReturnSuccess) mSetting = alternateSetting;
        return status;
    }
    IOReturn GetPipeProperties(std::uint8_t pipeRef, std::uint8_t* direction, std::uint8_t* number,
                               std::uint8_t* transferType, std::uint16_t* maxPacketSize,
                               std::uint8_t* interval) override {
        const IOReturn status =
            mInterface->GetPipeProperties(pipeRef, direction, number, transferType, maxPacketSize, interval);
        const auto pipes = mSettings.find(mSetting);
        if (status == kIOReturnSuccess && recording() && pipes != mSettings.end() && pipeRef >= 1 &&
            pipeRef <= pipes->second.size()) {
            pipes->second[pipeRef - 1U] = endpointOf(*direction, *number, *transferType, *maxPacketSize);
        }
        return status;
    }

    IOReturn ControlRequest(std::uint8_t pipeRef, zelvik::DeviceRequest& request) override {
        return mInterface->ControlRequest(pipeRef, request);
    }

    IOReturn ReadPipeTO(std::uint8_t pipeRef, void* buf, std::uint32_t* size, std::uint32_t noDataTimeout,
                        std::uint32_t completionTimeout) override {
        const IOReturn status = mInterface->ReadPipeTO(pipeRef, buf, size, noDataTimeout, completionTimeout);
        if (recording() && size != nullptr) read(status, static_cast<const std::uint8_t*>(buf), *size);
        return status;
    }
    IOReturn WritePipeTO(std::uint8_t pipeRef, const void* buf, std::uint32_t size, std::uint32_t noDataTimeout,
                         std::uint32_t completionTimeout) override {
        const IOReturn status = mInterface->WritePipeTO(pipeRef, buf, size, noDataTimeout, completionTimeout);
        if (recording()) written(status, static_cast<const std::uint8_t*>(buf), size);
        return status;
    }

    IOReturn ClearPipeStall(std::uint8_t pipeRef) override { return mInterface->ClearPipeStall(pipeRef); }
    IOReturn AbortPipe(std::uint8_t pipeRef) override { return mInterface->AbortPipe(pipeRef); }
    IOReturn ResetPipe(std::uint8_t pipeRef) override { return mInterface->ResetPipe(pipeRef); }
    IOReturn GetDevice(UsbServiceRef* device) override { return mInterface->GetDevice(device); }

private:
    bool recording() const { return mOpen && mPrinter && mNumber == 0; }

    static std::optional<sim::EndpointDescription> endpointOf(std::uint8_t direction, std::uint8_t number,
                                                              std::uint8_t transferType, std::uint16_t maxPacketSize) {
        // A bus file describes endpoints 1 to 15 of the data transfer
        // types, with packets of 1 to 1024 bytes (which the helper never
        // looks at).
        if ((number & 0x0F) == 0 || transferType < kUSBIsoc || transferType > kUSBInterrupt) return std::nullopt;
        sim::EndpointDescription endpoint;
        endpoint.address = static_cast<std::uint8_t>((number & 0x0F) | (direction == kUSBIn ? 0x80 : 0));
        endpoint.type = static_cast<sim::TransferType>(transferType);
        endpoint.maxPacketSize = std::clamp<std::uint16_t>(maxPacketSize, 1, 1024);
        return endpoint;
    }

    void startSession() {
        mOpen = true;
        mSetting = 0;
        mSettings.clear();
        mLines = sim::LineAssembler();
        mWritten = false;
        mPendingWrite.reset();
        mAsking = false;
        mPrinted.reset();
    }

    void endSession() {
        mOpen = false;
        if (!mPrinter || mNumber != 0) return;
        endQuery();
        if (mPendingWrite) printed(mPendingWrite->size());
        {
            std::lock_guard lock(mRecorder->mutex);
            record::PrinterRecord& r = mRecorder->printers[*mPrinter].record;
            if (std::optional<std::vector<sim::InterfaceDescription>> settings = learntSettings()) {
                r.interfaces = std::move(settings);
            }
            if (mPrinted) {
                r.notes.push_back(" a print job of " + std::to_string(*mPrinted) +
                                  " bytes was sent here; print data is not recorded ");
            }
            mRecorder->unsaved = true;
        }
        mPendingWrite.reset();
        mPrinted.reset();
        mRecorder->save();
    }

    // Setting 0 of interface 0, and setting 1 when 0 has no endpoints: the
    // settings the helper reads, when it read every pipe of them.
    std::optional<std::vector<sim::InterfaceDescription>> learntSettings() const {
        std::vector<sim::InterfaceDescription> settings;
        for (std::uint8_t s = 0; mSettings.count(s) != 0; ++s) {
            sim::InterfaceDescription setting;
            setting.alternateSetting = s;
            for (const std::optional<sim::EndpointDescription>& pipe : mSettings.at(s)) {
                if (!pipe) return std::nullopt;
                const bool seen = std::any_of(setting.endpoints.begin(), setting.endpoints.end(),
                                              [&](const auto& e) { return e.address == pipe->address; });
                if (!seen) setting.endpoints.push_back(*pipe);
            }
            settings.push_back(std::move(setting));
        }
        if (settings.empty()) return std::nullopt;
        return settings;
    }

    void printed(std::size_t bytes) { mPrinted = mPrinted.value_or(0) + bytes; }

    void written(IOReturn status, const std::uint8_t* data, std::uint32_t size) {
        endQuery();
        // A write that another write follows was print data.
        if (mPendingWrite) printed(mPendingWrite->size());
        mPendingWrite.reset();
        mWritten = true;
        if (status != kIOReturnSuccess) return;
        mPendingWrite = data == nullptr ? Bytes() : Bytes(data, data + size);
        mWrittenAt = Clock::now();
    }

    void read(IOReturn status, const std::uint8_t* data, std::uint32_t size) {
        const auto now = Clock::now();
        if (mPendingWrite) {
            // Asked for an answer: the write was a query.
            mRequest = mLines.feed(*mPendingWrite);
            mPendingWrite.reset();
            mAsking = true;
            mAnswer.clear();
            mQuietUntil = mWrittenAt;
        }
        if (status == kIOReturnTimeout && size == 0) {
            std::lock_guard lock(mRecorder->mutex);
            mRecorder->printers[*mPrinter].record.idleReadWaits = true;
            mRecorder->unsaved = true;
        }
        if (status != kIOReturnSuccess) return;
        if (size == 0) {
            if (mAsking && mAnswer.empty()) mQuietUntil = now;
            return;
        }
        if (mAsking) {
            // The answer was not there at the end of the read before: the
            // earlier moment is taken, so that a replay is never slower.
            if (mAnswer.empty()) {
                mDelayMs = static_cast<std::uint32_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(mQuietUntil - mWrittenAt).count());
            }
            mAnswer.insert(mAnswer.end(), data, data + size);
        } else if (!mWritten) {
            std::lock_guard lock(mRecorder->mutex);
            Bytes& pending = mRecorder->printers[*mPrinter].record.pendingAnswer;
            pending.insert(pending.end(), data, data + size);
            mRecorder->unsaved = true;
        }
    }

    void endQuery() {
        if (!mAsking) return;
        mAsking = false;
        std::vector<sim::Reply> replies = record::repliesOf(mRequest, mAnswer, mDelayMs);
        std::lock_guard lock(mRecorder->mutex);
        for (sim::Reply& reply : replies) record::addReply(mRecorder->printers[*mPrinter].record.replies, reply);
        mRecorder->unsaved = true;
    }

    std::shared_ptr<Recorder> mRecorder;
    std::optional<std::size_t> mPrinter;  // none: not an interface of a recorded printer
    std::unique_ptr<UsbInterface> mInterface;
    std::optional<std::uint8_t> mNumber;

    bool mOpen = false;
    std::uint8_t mSetting = 0;
    std::map<std::uint8_t, std::vector<std::optional<sim::EndpointDescription>>> mSettings;
    sim::LineAssembler mLines;
    bool mWritten = false;               // something was written in this session
    std::optional<Bytes> mPendingWrite;  // a write no read or write has followed yet
    Clock::time_point mWrittenAt{};
    bool mAsking = false;  // reads follow a query
    std::vector<std::string> mRequest;
    Bytes mAnswer;
    Clock::time_point mQuietUntil{};  // the last moment the query was still unanswered
    std::uint32_t mDelayMs = 0;
    std::optional<std::uint64_t> mPrinted;  // print data sent in this session
};

}  // namespace

std::unique_ptr<RecordingUsbAccess> RecordingUsbAccess::fromEnvironment(UsbAccess& usb) {
    const char* file = std::getenv("ZELVIK_RECORD");
    if (file == nullptr || *file == '\0') return nullptr;
    return std::make_unique<RecordingUsbAccess>(usb, file);
}

RecordingUsbAccess::RecordingUsbAccess(UsbAccess& usb, std::string file)
    : mUsb(usb), mRecorder(std::make_shared<Recorder>(std::move(file))) {}

RecordingUsbAccess::~RecordingUsbAccess() { mRecorder->save(); }

std::optional<std::vector<UsbServiceRef>> RecordingUsbAccess::copyMatchingDevices() {
    return mUsb.copyMatchingDevices();
}

std::unique_ptr<UsbDevice> RecordingUsbAccess::createDeviceInterface(const UsbServiceRef& service) {
    std::unique_ptr<UsbDevice> device = mUsb.createDeviceInterface(service);
    if (!device) return device;
    return std::make_unique<RecordingDevice>(mRecorder, service, std::move(device));
}

std::unique_ptr<UsbInterface> RecordingUsbAccess::createInterfaceInterface(const UsbServiceRef& service) {
    std::unique_ptr<UsbInterface> interface = mUsb.createInterfaceInterface(service);
    if (!interface) return interface;
    std::optional<std::size_t> printer;
    {
        std::lock_guard lock(mRecorder->mutex);
        for (const auto& [known, owner] : mRecorder->interfaces) {
            if (known.get() == service.get()) printer = owner;
        }
    }
    return std::make_unique<RecordingInterface>(mRecorder, printer, std::move(interface));
}

}  // namespace zelvik
