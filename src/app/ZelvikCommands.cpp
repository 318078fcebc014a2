// SPDX-License-Identifier: Apache-2.0
// The command handlers: the printer list, and the three commands that talk
// to one printer (a PJL query, streaming a data file, and the test whether a
// printer can be opened).

#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/ZelvikController.h"
#include "base/Files.h"
#include "base/Trace.h"

namespace zelvik {
namespace {

// Seconds on a clock that only moves forward, so that a change of the
// system time neither stretches nor cuts short a time limit.
double currentTime() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The open output file, closed on every path out of a handler. Only a
// regular file opens: a FIFO or device can neither block nor stream without
// end.
std::FILE* openStream(const std::string& path) {
    UniqueFD fd = openRegularFile(path);
    if (!fd.isValid()) return nullptr;
    std::FILE* file = ::fdopen(fd.get(), "rb");
    if (file) fd.release();  // the stream owns it now
    return file;
}

class InputFile {
public:
    explicit InputFile(const std::string& path) : mFile(openStream(path)) {}
    ~InputFile() {
        if (mFile) std::fclose(mFile);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool isOpen() const { return mFile != nullptr; }
    std::size_t read(std::uint8_t* buffer, std::size_t size) { return std::fread(buffer, 1, size, mFile); }
    bool atEnd() const { return std::feof(mFile) != 0; }

private:
    std::FILE* mFile;
};

// The printer connection of one handler, closed once on every path out
// after a successful open.
class OpenPrinter {
public:
    OpenPrinter(KxUsbCommunicater& link, const std::string& deviceURI)
        : mLink(link), mOpen(link.openUSBDevice(deviceURI) == 0) {}
    ~OpenPrinter() { close(); }
    OpenPrinter(const OpenPrinter&) = delete;
    OpenPrinter& operator=(const OpenPrinter&) = delete;

    bool isOpen() const { return mOpen; }
    void close() {
        if (mOpen) mLink.closePipes();
        mOpen = false;
    }

private:
    KxUsbCommunicater& mLink;
    bool mOpen;
};

// The completion percentage, truncated toward zero. It is not clamped to
// 100 (a file that grew while it was sent shows more), only kept within
// what an int can hold; an empty file is complete.
int percentOf(double sent, double total) {
    if (total <= 0) return 100;
    double percent = sent / total * 100.0;
    if (percent >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    return static_cast<int>(percent);
}

}  // namespace

// Every reason the printer link gives, and the result of a command that met
// it; a reason added without its result here fails the build (-Wswitch).
int resultForFailure(UsbFailure failure) {
    switch (failure) {
        // Whatever the link could not do, the printer was not reached.
        case UsbFailure::none:  // a failure without a reason is still one
        case UsbFailure::busUnreachable:
        case UsbFailure::noSuchPrinter:
        case UsbFailure::deviceNotOpened:
        case UsbFailure::printerHeld:
        case UsbFailure::accessDenied:
        case UsbFailure::claimFailed:
        case UsbFailure::noPipes:
        case UsbFailure::settingNotRestored:
        case UsbFailure::notOpen:
        case UsbFailure::stalled:
        case UsbFailure::timedOut:
        case UsbFailure::deviceGone:
        case UsbFailure::transferFailed: return kResultPrinterUnreachable;
    }
    return kResultPrinterUnreachable;  // not a reason the link gives
}

int ZelvikController::printerFailed() {
    mPrinterFailure = mKxUsbCommunicater->lastFailure();
    return resultForFailure(mPrinterFailure);
}

int ZelvikController::getPrinterList(const std::string& printerListFilePath, int maxmumPrinterNumber) {
    // A printer whose model name, serial number or URI cannot be written
    // into the list (control characters, invalid UTF-8) is left out, and
    // takes no place under the maximum, so that no device's bytes cost the
    // others the list or their place in it.
    const auto writable = [](const Dictionary& information) {
        for (std::size_t i = 0; i < information.size(); ++i) {
            const std::string* text = information.valueAt(i).asString();
            if (text && KxXmlDataConverter::isWritableText(*text)) continue;
            const std::string* uri = information.findString("deviceURI");
            ZELVIK_TRACE("device %s left out of the list: its %s cannot be written as XML text",
                         uri ? uri->c_str() : "", information.nameAt(i).c_str());
            return false;
        }
        return true;
    };
    std::optional<Dictionary> list = mKxUsbCommunicater->picupUSBDevice(maxmumPrinterNumber, writable);
    if (!list) return kResultListNotProduced;
    std::optional<Bytes> bytes = copyDictionaryToXmlData(*list, "printerListBody");
    if (!bytes) return kResultListNotProduced;
    return mKxFileManager->saveFile(printerListFilePath, *bytes) != 0 ? kResultListNotProduced : kResultDone;
}

int ZelvikController::sendPJLCommand(const std::string& deviceURI, const std::string& inhabitFilePath,
                                     const std::string& makedFilePath, int maximumConectionTime) {
    std::uint8_t answer[kAnswerBufferSize] = {};
    std::uint8_t output[kOutputBufferSize] = {};

    std::size_t n = 0;
    {
        InputFile file(inhabitFilePath);
        if (!file.isOpen()) return kResultOutputFileUnusable;
        n = file.read(output, sizeof output);
        // The whole command must come in one read: 2047 bytes at most.
        if (!file.atEnd()) return kResultOutputFileUnusable;
    }

    OpenPrinter printer(*mKxUsbCommunicater, deviceURI);
    if (!printer.isOpen()) return printerFailed();

    const double t0 = currentTime();
    const double limit = static_cast<double>(maximumConectionTime);
    if (cancelSeen()) return kResultDone;

    // Drop whatever the printer had queued before this command, so that
    // only the answer to it is saved.
    for (;;) {
        std::uint32_t count = sizeof answer;
        if (mKxUsbCommunicater->readPipeToBuffer(answer, &count) != 0) return printerFailed();
        if (count == 0) break;
        if (currentTime() - t0 > limit) return kResultTimedOut;
        pauseUnlessCancelled(std::chrono::microseconds(kPollIntervalUs));
        if (cancelSeen()) return kResultDone;
    }

    if (mKxUsbCommunicater->writePipeWithBuffer(output, static_cast<std::uint32_t>(n)) != 0) return printerFailed();
    if (cancelSeen()) return kResultDone;

    for (;;) {
        std::uint32_t count = sizeof answer;
        if (mKxUsbCommunicater->readPipeToBuffer(answer, &count) != 0) return printerFailed();
        if (count > 0) {
            // The printer is closed before the answer is saved; anything it
            // sends after this first answer is left unread.
            const Bytes block(answer, answer + std::min<std::size_t>(count, sizeof answer));
            printer.close();
            return mKxFileManager->saveFile(makedFilePath, block) != 0 ? kResultResponseNotSaved : kResultDone;
        }
        if (currentTime() - t0 > limit) return kResultTimedOut;
        pauseUnlessCancelled(std::chrono::microseconds(kPollIntervalUs));
        if (cancelSeen()) return kResultDone;
    }
}

int ZelvikController::dataOutput(const std::string& deviceURI, const std::string& inhabitFilePath,
                                 const std::string& makeFilePath) {
    std::uint8_t output[kOutputBufferSize] = {};

    const std::int64_t size = mKxFileManager->getFileSize(inhabitFilePath);
    if (size == -1) return kResultOutputFileUnusable;
    // A file that cannot be read, or is no regular file, is the caller's
    // problem, found before the printer is touched.
    InputFile file(inhabitFilePath);
    if (!file.isOpen()) return kResultOutputFileUnusable;

    OpenPrinter printer(*mKxUsbCommunicater, deviceURI);
    if (!printer.isOpen()) return printerFailed();
    // A job whose progress can never be saved is not started: nothing is
    // sent before the progress file holds "0".
    if (mKxFileManager->saveFile(makeFilePath, textBytes("0")) != 0) return kResultResponseNotSaved;

    const double total = static_cast<double>(size);
    double sent = 0.0;
    double tLast = currentTime();
    for (;;) {
        if (file.atEnd()) {
            // A file that shrank while it was sent ended short of the size
            // it had at the start: the printer did not get the job whole.
            if (sent < total) return kResultOutputFileUnusable;
            return mKxFileManager->saveFile(makeFilePath, textBytes("100")) != 0 ? kResultResponseNotSaved
                                                                                 : kResultDone;
        }
        if (cancelSeen()) return kResultDone;

        const std::size_t n = file.read(output, sizeof output);
        if (n != sizeof output && !file.atEnd()) return kResultOutputFileUnusable;
        // A file that ends on a chunk boundary ends with a zero-length write.
        if (mKxUsbCommunicater->writePipeWithBuffer(output, static_cast<std::uint32_t>(n)) != 0) return printerFailed();
        sent += static_cast<double>(n);

        if (currentTime() - tLast > kProgressIntervalSeconds) {
            const std::string percent = std::to_string(percentOf(sent, total));
            if (mKxFileManager->saveFile(makeFilePath, textBytes(percent)) != 0) return kResultResponseNotSaved;
            tLast = currentTime();
        }
    }
}

int ZelvikController::isMachineActive(const std::string& deviceURI, const std::string& makeFilePath) {
    bool active = false;
    {
        OpenPrinter printer(*mKxUsbCommunicater, deviceURI);
        active = printer.isOpen();
        if (!active) mPrinterFailure = mKxUsbCommunicater->lastFailure();
    }
    return mKxFileManager->saveFile(makeFilePath, textBytes(active ? "True" : "False")) != 0 ? kResultResponseNotSaved
                                                                                             : kResultDone;
}

}  // namespace zelvik
