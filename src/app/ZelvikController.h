// SPDX-License-Identifier: Apache-2.0
// The command service: the application's delegate. At launch it takes the
// command file path, installs the cancel machinery (the reopen handler and
// the printer link's cancel observer) and starts the command thread, which
// reads and consumes the command file, runs its one command, writes the
// status file and ends the application.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/Application.h"
#include "base/Bytes.h"
#include "files/KxFileManager.h"
#include "usb/KxUsbCommunicater.h"
#include "xml/KxXmlDataConverter.h"
#include "xml/Value.h"

namespace zelvik {

class UsbAccess;

// Result codes, as the status file carries them.
enum ResultCode : int {
    kResultDone = 0,
    kResultNotCarriedOut = 1,
    kResultListNotProduced = 3,
    kResultOutputFileUnusable = 4,
    kResultResponseNotSaved = 5,
    kResultPrinterUnreachable = 7,
    kResultTimedOut = 8,
    kResultStatusNotSaved = 11,
    kResultNoEventManager = 15,
};

// The result a printer command gives when the printer link fails, by the
// link's reason.
int resultForFailure(UsbFailure failure);

class ZelvikController : public ApplicationDelegate {
public:
    // Fixed sizes and intervals of the data commands.
    static constexpr std::size_t kAnswerBufferSize = 3072;
    static constexpr std::size_t kOutputBufferSize = 2048;
    static constexpr unsigned kPollIntervalUs = 200000;
    static constexpr double kProgressIntervalSeconds = 1.0;
    // No real command file comes near this; a larger one is refused.
    static constexpr std::size_t kCommandFileSizeLimit = std::size_t{256} * 1024;

    ZelvikController(Application& application, UsbAccess& usb);
    ~ZelvikController() override;
    ZelvikController(const ZelvikController&) = delete;
    ZelvikController& operator=(const ZelvikController&) = delete;

    void applicationWillFinishLaunching() override;
    void applicationWillTerminate() override;

    // The argument at `index`, only when there are exactly index + 1.
    std::optional<std::string> getArgumentAtIndex(int index) const;
    int startZelvik(const std::string& commandFilePath);
    void startRunCommandThread(const std::string& commandFilePath);
    void endThread();

    int runCommand(const std::string& commandFilePath);
    // The command file's tree, once the file has been consumed; nothing when
    // it was refused (and then left where it is).
    std::optional<Dictionary> copyGetCommand(const std::string& commandFilePath);
    int makeStatusFile(const std::string& statusFilePath, int resultUntilNow);
    std::optional<Dictionary> copyXMLDataToDictionary(const std::string& path);
    std::optional<Bytes> copyDictionaryToXmlData(const Dictionary& dictionary, const std::string& rootName);

    int setupEventHandlers();
    int removeEventHandlers();
    void handleReOpenEvent(const ReopenEvent& event, ReopenEvent* withReplyEvent);
    void startNotificationObserver();
    void endNotificationObserver();

    // The command handlers.
    int getPrinterList(const std::string& printerListFilePath, int maxmumPrinterNumber);
    int sendPJLCommand(const std::string& deviceURI, const std::string& inhabitFilePath,
                       const std::string& makedFilePath, int maximumConectionTime);
    int dataOutput(const std::string& deviceURI, const std::string& inhabitFilePath, const std::string& makeFilePath);
    int isMachineActive(const std::string& deviceURI, const std::string& makeFilePath);

    // The leading decimal integer of a parameter's text, clamped to the
    // 32-bit range; 0 when the text does not begin with a number.
    static int integerOfText(const std::string& text);

    // Why the printer link failed in the last printer command, if it did.
    UsbFailure printerFailure() const { return mPrinterFailure; }

private:
    // The handlers' cancel test: a cancel from the front end, or the end of
    // the process asked from outside.
    bool cancelSeen() const { return mCancelZelvikControllerFlg.load() || mAbandonCommandFlg.load(); }
    // Raises one of the two flags cancelSeen tests and wakes a pause under
    // way, so that the handler comes to its cancel test at once.
    void raiseCancel(std::atomic<bool>& flag);
    // The pause between two polls of the printer: its whole length, on the
    // monotonic clock, unless a cancel ends it early.
    void pauseUnlessCancelled(std::chrono::microseconds pause);
    // A handler's way out when the printer link failed: the result its
    // reason gives, the reason kept for the trace.
    int printerFailed();

    Application& mApplication;
    std::unique_ptr<KxFileManager> mKxFileManager;
    std::unique_ptr<KxUsbCommunicater> mKxUsbCommunicater;
    std::unique_ptr<KxXmlDataConverter> mKxXmlDataConverter;
    std::atomic<bool> mCancelZelvikControllerFlg{false};
    std::atomic<bool> mRunCommandThreadFlg{false};
    std::atomic<bool> mEventHandlerFlg{false};
    // Set when the application is terminated from outside while a command
    // runs: the command stops at its next cancel point, closing the printer,
    // and writes no status file.
    std::atomic<bool> mAbandonCommandFlg{false};
    // Wakes the command thread from a pause when a cancel flag is raised; the
    // flags are raised under the mutex, so no wake-up falls between a
    // pause's test of them and its sleep.
    std::mutex mCancelMutex;
    std::condition_variable mCancelCondition;
    bool mNotificationObserverFlg = false;
    // Set once the command thread has taken its own command file (consumed
    // or refused it); a reopen before that is dropped, so that it never
    // consumes the command itself. Guarded by mIntakeMutex.
    std::mutex mIntakeMutex;
    bool mCommandTakenFlg = false;
    // Why the printer link failed in the command running now, if it did.
    UsbFailure mPrinterFailure = UsbFailure::none;
};

}  // namespace zelvik
