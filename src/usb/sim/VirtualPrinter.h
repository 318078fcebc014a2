// SPDX-License-Identifier: Apache-2.0
// A virtual USB printer: the one model of printer behaviour behind both ways
// of reaching a printer without hardware, the in-process simulated bus
// (SimulatedUsbAccess) and the emulated kernel device of the umockdev tests.
// Both build it from the same description (PrinterDescription.h), read from
// the same bus file.
//
// The model is transport-agnostic and never blocks: every call takes the
// current time and says what the printer does at that moment, and when
// something will change (an answer becoming readable, the throughput limit
// letting more bytes in). The transports do the waiting and the time-outs.
// A model is used from one thread at a time.
//
// The printer's language (PJL answers, print data, the faults and limits of
// its bulk OUT side) lives behind the bulk endpoints of the settings that
// speak it (InterfaceDescription::speaksPJL), in whichever setting the host
// put their interface. Bytes written to any other bulk OUT endpoint are taken
// and ignored, and any other bulk IN endpoint stays idle: a vendor interface,
// an IEEE 1284.4 or IPP-over-USB setting answers nothing to plain PJL.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "usb/sim/PrinterDescription.h"

namespace zelvik::sim {

using Clock = std::chrono::steady_clock;

class VirtualPrinter {
public:
    explicit VirtualPrinter(VirtualPrinterConfig config, Clock::time_point start = Clock::now());
    ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    const VirtualPrinterConfig& config() const { return mConfig; }

    // --- Identity and descriptors -------------------------------------------
    std::uint16_t vendorID() const;  // the configured or served vendor
    // 0 when the printer has no serial-number string.
    std::uint8_t serialNumberStringIndex() const;
    Bytes deviceDescriptor() const;         // 18 bytes
    Bytes configurationDescriptor() const;  // with every interface setting
    // The interface numbers, in the device's order.
    std::vector<std::uint8_t> interfaceNumbers() const;
    std::uint8_t alternateSettingCount(std::uint8_t interfaceNumber = 0) const;
    std::uint8_t currentAlternateSetting(std::uint8_t interfaceNumber = 0) const;
    // The setting described so; null when there is none.
    const InterfaceDescription* setting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) const;
    // The endpoints of an interface's setting in force, in pipe-reference
    // order (empty for an interface the printer does not have).
    const std::vector<EndpointDescription>& currentEndpoints(std::uint8_t interfaceNumber = 0) const;
    // The endpoint address of a pipe reference of interface 0's setting in
    // force; 0 when there is no such pipe.
    std::uint8_t endpointAddress(std::uint8_t pipeRef) const;
    // The endpoint of that address in the setting in force of the interface
    // that has it; null when no interface has it now.
    const EndpointDescription* endpoint(std::uint8_t address) const;

    // --- The default pipe ----------------------------------------------------
    // One control request as the device sees it. On success `length` bytes
    // of the IN data stage were written to `data` (at most wLength).
    struct ControlResult {
        bool stalled = false;
        std::uint32_t length = 0;
    };
    ControlResult control(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wIndex,
                          std::uint16_t wLength, std::uint8_t* data, Clock::time_point now = Clock::now());

    // Every control request received, oldest first, for tests to inspect.
    struct ControlRecord {
        std::uint8_t bmRequestType, bRequest;
        std::uint16_t wValue, wIndex, wLength;
    };
    const std::vector<ControlRecord>& controlLog() const { return mControlLog; }

    // Halt state of an endpoint address, set by faults, cleared by
    // CLEAR_FEATURE(ENDPOINT_HALT) or a host-side clear.
    bool isHalted(std::uint8_t endpointAddress) const;
    void clearHalt(std::uint8_t endpointAddress);
    // Halts an endpoint as a fault of the printer would.
    void haltEndpoint(std::uint8_t endpointAddress);

    // True once the device left the bus (disconnectAfterBytes); from then on
    // it answers nothing and takes nothing.
    bool disconnected() const { return mDisconnected; }

    // --- Bulk OUT ---------------------------------------------------------------
    // Offers the rest of one OUT transfer to a bulk OUT endpoint in force.
    // `accepted` bytes were taken now (all of them, or fewer under the
    // throughput limit: offer the rest again at `retryAt`). When the whole
    // transfer has been taken (a zero-length one at once) `complete` is set;
    // that is what the fixed `answer` responds to. `stalled`: the pipe
    // halted, nothing more is taken until the halt is cleared.
    struct WriteResult {
        std::size_t accepted = 0;
        bool complete = false;
        bool stalled = false;
        Clock::time_point retryAt{};
    };
    WriteResult writeBulk(std::uint8_t endpointAddress, std::span<const std::uint8_t> rest,
                          Clock::time_point now = Clock::now());

    // --- Bulk IN ----------------------------------------------------------------
    enum class ReadKind {
        Data,        // `bytes` hold 1..max bytes
        ZeroLength,  // completes now with no data
        Nothing,     // NAK: nothing to send before `readyAt` (max(): never)
        Stalled,
    };
    struct ReadResult {
        ReadKind kind = ReadKind::Nothing;
        Bytes bytes;
        Clock::time_point readyAt = Clock::time_point::max();
    };
    ReadResult readBulk(std::uint8_t endpointAddress, std::size_t max, Clock::time_point now = Clock::now());

    // What moved on the bulk endpoints so far.
    struct Traffic {
        std::uint64_t received = 0;                      // taken by the printer's language endpoints
        std::uint64_t ignored = 0;                       // written to endpoints that do not speak it
        std::map<std::uint8_t, std::uint64_t> bytesOut;  // taken, by endpoint address
        std::map<std::uint8_t, unsigned> transfersIn;    // ended, by endpoint address
    };
    const Traffic& traffic() const { return mTraffic; }
    std::uint64_t bytesReceived() const { return mTraffic.received; }
    // Answer bytes queued and not read yet, readable now or later.
    std::size_t queuedAnswerBytes() const;

private:
    // An endpoint in the setting in force of the interface that has it, and
    // that setting; both null when no interface has it now.
    struct EndpointInForce {
        const InterfaceDescription* setting = nullptr;
        const EndpointDescription* endpoint = nullptr;
    };
    EndpointInForce endpointInForce(std::uint8_t address) const;
    // Appends to the capture file, if any; the bytes written (all of them
    // without a capture file).
    std::size_t capture(std::span<const std::uint8_t> bytes);
    void receive(std::span<const std::uint8_t> bytes, Clock::time_point now);
    void answerLine(const std::string& received, Clock::time_point now);
    // The answer of a PJL command the printer knows by itself (`parts`: its
    // words in upper case); nothing for others.
    std::optional<Bytes> builtInAnswer(const std::string& command, const std::vector<std::string>& parts);
    // Queues an answer (nothing for an empty one), after the status blocks
    // waiting for the next answer.
    void respond(Bytes answer, std::optional<std::uint32_t> delayMs, Clock::time_point now);
    void queueAnswer(Bytes bytes, Clock::time_point readyAt, int periodic = -1);
    // Queues the periodic status blocks that are due.
    void releasePeriodicStatus(Clock::time_point now);
    Clock::time_point nextPeriodicStatus() const;
    Bytes deviceStatusBlock() const;
    std::string deviceIDText() const;
    std::string modelName() const;

    VirtualPrinterConfig mConfig;
    std::map<std::uint8_t, std::uint8_t> mSettings;  // interface number -> setting in force
    std::vector<std::uint8_t> mHalted;               // halted endpoint addresses
    std::vector<ControlRecord> mControlLog;

    struct Pending {
        Clock::time_point readyAt;
        Bytes bytes;
        int periodic = -1;  // the periodic status block it is, if any
    };
    std::deque<Pending> mAnswers;
    std::size_t mQueuedBytes = 0;
    std::vector<Bytes> mBeforeNextAnswer;  // status blocks waiting for the next answer
    struct Periodic {
        Bytes block;
        Clock::duration every;
        Clock::time_point due;
        bool unread = false;  // one of its blocks is queued and not read
    };
    std::vector<Periodic> mPeriodic;
    std::vector<std::string> mReplyKeys;  // the replies' requests, as lines are compared
    bool mDeviceStatusOn = false;         // "@PJL USTATUS DEVICE=ON" was received

    LineAssembler mLines;  // the PJL lines being received
    Traffic mTraffic;
    unsigned mReadsEnded = 0;  // the printer's bulk IN transfers ended so far
    double mOutCredit = 0;     // bytes the throughput limit allows now
    Clock::time_point mCreditAt{};
    int mCaptureFd = -1;
    bool mDisconnected = false;
};

}  // namespace zelvik::sim
