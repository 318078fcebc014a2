// SPDX-License-Identifier: Apache-2.0
#include "app/ZelvikController.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <cctype>
#include <climits>
#include <cstdint>

#include "base/NotificationCenter.h"
#include "base/Trace.h"

namespace zelvik {
namespace {

const char* const kCommandBody = "commandBody";

// The text of a parameter. An element that holds elements, or that occurs
// more than once, reads as a dictionary or an array and counts as missing.
const std::string* parameter(const Dictionary& body, const char* name) { return body.findString(name); }

}  // namespace

ZelvikController::ZelvikController(Application& application, UsbAccess& usb)
    : mApplication(application),
      mKxFileManager(std::make_unique<KxFileManager>()),
      mKxUsbCommunicater(std::make_unique<KxUsbCommunicater>(usb)),
      mKxXmlDataConverter(std::make_unique<KxXmlDataConverter>()) {}

ZelvikController::~ZelvikController() {
    if (mEventHandlerFlg) removeEventHandlers();
    if (mRunCommandThreadFlg) endThread();
    if (mNotificationObserverFlg) endNotificationObserver();
}

// --- Start-up and termination -------------------------------------------------

void ZelvikController::applicationWillFinishLaunching() {
    std::optional<std::string> path = getArgumentAtIndex(1);
    if (!path || startZelvik(*path) != 0) mApplication.terminate();
}

void ZelvikController::applicationWillTerminate() {
    if (mEventHandlerFlg) removeEventHandlers();
    if (mRunCommandThreadFlg) {
        // Terminated from outside while a command runs. Stopping it at its
        // next cancel point lets it close the printer, which hands a kernel
        // printer driver its interface back; a command stuck in a transfer
        // ends with the process.
        raiseCancel(mAbandonCommandFlg);
        endThread();
    }
    if (mNotificationObserverFlg) endNotificationObserver();
}

std::optional<std::string> ZelvikController::getArgumentAtIndex(int index) const {
    const auto& arguments = mApplication.arguments();
    if (index < 0 || arguments.size() != static_cast<std::size_t>(index) + 1) return std::nullopt;
    return arguments[static_cast<std::size_t>(index)];
}

int ZelvikController::startZelvik(const std::string& commandFilePath) {
    startNotificationObserver();
    mNotificationObserverFlg = true;
    if (int r = setupEventHandlers(); r != 0) return r;
    mApplication.detachNewThread([this, commandFilePath] { startRunCommandThread(commandFilePath); });
    return 0;
}

void ZelvikController::startRunCommandThread(const std::string& commandFilePath) {
    // The smallest timer slack for this thread: the kernel's default stretches
    // each 1 ms pause before a transfer by tens of microseconds, and so every
    // print job by several percent. It only makes wake-ups more punctual.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    mRunCommandThreadFlg = true;
    runCommand(commandFilePath);
    mRunCommandThreadFlg = false;
    mApplication.terminate();
}

void ZelvikController::endThread() {
    // Only the command thread can be ended this way: ending the main thread
    // would leave the process without its event loop. When the application
    // is terminated from outside, the end of the process stops the command.
    if (mApplication.isCommandThread()) ::pthread_exit(nullptr);
}

// --- Command intake and dispatch ----------------------------------------------

std::optional<Dictionary> ZelvikController::copyXMLDataToDictionary(const std::string& path) {
    std::optional<Bytes> data = mKxFileManager->copyReadFile(path, kCommandFileSizeLimit);
    if (!data) return std::nullopt;
    return mKxXmlDataConverter->copyXMLDataToDictionaryNS(*data);
}

std::optional<Bytes> ZelvikController::copyDictionaryToXmlData(const Dictionary& dictionary,
                                                               const std::string& rootName) {
    return mKxXmlDataConverter->copyDictionaryToXmlDataNS(dictionary, rootName);
}

std::optional<Dictionary> ZelvikController::copyGetCommand(const std::string& commandFilePath) {
    std::optional<Dictionary> tree = copyXMLDataToDictionary(commandFilePath);
    if (!tree) return std::nullopt;
    const Dictionary* body = tree->findDictionary(kCommandBody);
    const std::string* statusPath = body ? parameter(*body, "statusFilePath") : nullptr;
    if (!statusPath) return std::nullopt;
    // A status file already there means this command file was answered (or
    // belongs to someone else): it is left alone, and so is the command file.
    // So is anything else there (a directory, a FIFO, a file this user may
    // not read): no status could take its place, and a job whose outcome
    // can never be reported is not started.
    if (mKxFileManager->checkExistenceOfItem(*statusPath)) return std::nullopt;
    if (mKxFileManager->deleteFile(commandFilePath) != 0) return std::nullopt;
    return tree;
}

int ZelvikController::integerOfText(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<std::int64_t>(INT_MAX) + 1) value = static_cast<std::int64_t>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int ZelvikController::runCommand(const std::string& commandFilePath) {
    std::optional<Dictionary> tree;
    {
        std::lock_guard lock(mIntakeMutex);
        tree = copyGetCommand(commandFilePath);
        mCommandTakenFlg = true;
    }
    if (!tree) {
        ZELVIK_TRACE("command file %s not taken (missing, unreadable or refused): no status", commandFilePath.c_str());
        return kResultNotCarriedOut;
    }
    const Dictionary* found = tree->findDictionary(kCommandBody);
    const Dictionary body = found ? *found : Dictionary();
    tree.reset();

    const std::string* command = parameter(body, "command");
    const std::string* statusPath = parameter(body, "statusFilePath");

    int result = kResultDone;
    mPrinterFailure = UsbFailure::none;
    if (!cancelSeen()) {
        const std::string name = command ? *command : std::string();
        const std::string* deviceURI = parameter(body, "deviceURI");
        const std::string* outputPath = parameter(body, "outputFilePath");
        const std::string* responsePath = parameter(body, "responseFilePath");
        if (command && name == "getPrinterList") {
            const std::string* listPath = parameter(body, "printerListFilePath");
            const std::string* max = parameter(body, "printerListMax");
            const int maximum = max ? integerOfText(*max) : 0;
            result = (listPath && maximum != 0) ? getPrinterList(*listPath, maximum) : kResultNotCarriedOut;
        } else if (command && name == "sendPJLCommand") {
            const std::string* timeOut = parameter(body, "timeOut");
            const int limit = timeOut ? integerOfText(*timeOut) : 0;
            result = (deviceURI && outputPath && responsePath && limit != 0)
                         ? sendPJLCommand(*deviceURI, *outputPath, *responsePath, limit)
                         : kResultNotCarriedOut;
        } else if (command && name == "dataOutput") {
            result = (deviceURI && outputPath && responsePath) ? dataOutput(*deviceURI, *outputPath, *responsePath)
                                                               : kResultNotCarriedOut;
        } else if (command && name == "processCancel") {
            result = kResultDone;
        } else if (command && name == "isMachineActive") {
            result = (deviceURI && responsePath) ? isMachineActive(*deviceURI, *responsePath) : kResultNotCarriedOut;
        } else {
            result = kResultNotCarriedOut;
        }
    }

    removeEventHandlers();
    if (mAbandonCommandFlg) {
        ZELVIK_TRACE("command %s abandoned: the process ends, no status", command ? command->c_str() : "");
        return kResultDone;  // the process is ending: no report
    }
    const int code = cancelSeen() ? kResultDone : result;
    ZELVIK_TRACE("command %s: result %d%s%s%s", command ? command->c_str() : "(none)", code,
                 cancelSeen() ? " (cancelled)" : "", mPrinterFailure != UsbFailure::none ? ", printer: " : "",
                 mPrinterFailure != UsbFailure::none ? nameOf(mPrinterFailure) : "");
    // copyGetCommand refuses a command file without a status path.
    return makeStatusFile(statusPath ? *statusPath : std::string(), code) != 0 ? kResultStatusNotSaved : kResultDone;
}

int ZelvikController::makeStatusFile(const std::string& statusFilePath, int resultUntilNow) {
    Dictionary status;
    status.set("errorCode", Value(std::to_string(resultUntilNow)));
    std::optional<Bytes> bytes = copyDictionaryToXmlData(status, "statusBody");
    if (!bytes) return kResultStatusNotSaved;
    return mKxFileManager->saveFile(statusFilePath, *bytes) != 0 ? kResultStatusNotSaved : 0;
}

// --- Cancel --------------------------------------------------------------------

int ZelvikController::setupEventHandlers() {
    ReopenEventManager* manager = mApplication.reopenEventManager();
    if (!manager) return kResultNoEventManager;
    manager->setEventHandler([this](const ReopenEvent& event) { handleReOpenEvent(event, nullptr); });
    mEventHandlerFlg = true;
    return 0;
}

int ZelvikController::removeEventHandlers() {
    ReopenEventManager* manager = mApplication.reopenEventManager();
    if (!manager) return kResultNoEventManager;
    manager->removeEventHandler();
    mEventHandlerFlg = false;
    return 0;
}

void ZelvikController::handleReOpenEvent(const ReopenEvent&, ReopenEvent*) {
    std::optional<std::string> path = getArgumentAtIndex(1);
    if (!path) return;
    // Before the command thread took its own file, that file is the
    // command, not a cancel: the event is dropped.
    std::lock_guard lock(mIntakeMutex);
    if (!mCommandTakenFlg) return;
    std::optional<Dictionary> tree = copyGetCommand(*path);
    if (!tree) return;
    const Dictionary* body = tree->findDictionary(kCommandBody);
    const std::string* command = body ? parameter(*body, "command") : nullptr;
    if (command && *command == "processCancel") {
        raiseCancel(mCancelZelvikControllerFlg);
        NotificationCenter::defaultCenter().postNotificationName(kKxUsbCommunicaterCancel, this);
    }
}

void ZelvikController::raiseCancel(std::atomic<bool>& flag) {
    {
        std::lock_guard lock(mCancelMutex);
        flag = true;
    }
    mCancelCondition.notify_all();
}

void ZelvikController::pauseUnlessCancelled(std::chrono::microseconds pause) {
    // wait_until on the steady clock waits on the monotonic clock: the pause
    // keeps its length through spurious wake-ups and changes of the time.
    const auto deadline = std::chrono::steady_clock::now() + pause;
    std::unique_lock lock(mCancelMutex);
    mCancelCondition.wait_until(lock, deadline, [this] { return cancelSeen(); });
}

void ZelvikController::startNotificationObserver() { mKxUsbCommunicater->registNotification(); }

void ZelvikController::endNotificationObserver() { mKxUsbCommunicater->removeNotification(); }

}  // namespace zelvik
