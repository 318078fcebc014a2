// SPDX-License-Identifier: Apache-2.0
#include "usb/record/Recording.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "base/Files.h"
#include "base/Trace.h"
#include "files/KxFileManager.h"
#include "usb/sim/BusFile.h"
#include "usb/sim/BusFileWriter.h"

namespace zelvik::record {

namespace {

// The notes a printer keeps, the latest ones.
constexpr std::size_t kMostNotes = 100;
// How long a run waits for another one to finish saving into the file.
constexpr auto kTurnWait = std::chrono::seconds(2);
constexpr auto kTurnPoll = std::chrono::milliseconds(5);

const std::string kHeading =
    " Recorded by zelvik (ZELVIK_RECORD): what it learned of the printers it touched, as printer descriptions "
    "that zelvik-sim(1) replays. Print data is never recorded. ";

bool isPJLCommand(const std::string& line) { return sim::requestLine(line).rfind("@PJL ", 0) == 0; }

// The first line of an answer block, blank lines before it passed over.
std::string firstLine(const Bytes& block) {
    std::size_t at = 0;
    while (at < block.size() && (block[at] == '\r' || block[at] == '\n')) ++at;
    std::string line;
    while (at < block.size() && block[at] != '\n') line.push_back(static_cast<char>(block[at++]));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The blocks of an answer, each up to and with its form feed; the last one
// may have none. Together they are the answer.
std::vector<Bytes> blocksOf(const Bytes& answer) {
    std::vector<Bytes> blocks;
    Bytes block;
    for (const std::uint8_t byte : answer) {
        block.push_back(byte);
        if (byte == '\f') {
            blocks.push_back(std::move(block));
            block.clear();
        }
    }
    if (!block.empty()) blocks.push_back(std::move(block));
    return blocks;
}

void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// Turns on the recording for the file open at `fd`, waiting a little for
// a run that saves into it now. False when the turn did not come.
bool takeTurn(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    const auto giveUp = std::chrono::steady_clock::now() + kTurnWait;
    while (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        std::this_thread::sleep_for(kTurnPoll);
    }
    return true;
}

bool isBlank(const Bytes& content) {
    return std::all_of(content.begin(), content.end(),
                       [](std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

}  // namespace

std::vector<sim::Reply> repliesOf(const std::vector<std::string>& lines, const Bytes& answer, std::uint32_t delayMs) {
    // The lines the printer takes as requests, and among them its PJL
    // commands: only those can have an answer of the printer's own.
    std::vector<std::size_t> requests, commands;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (sim::requestKey(lines[i]).empty()) continue;
        requests.push_back(i);
        if (isPJLCommand(lines[i])) commands.push_back(i);
    }
    std::vector<Bytes> answers(lines.size());
    const std::vector<std::size_t>& askers = commands.empty() ? requests : commands;
    if (!answer.empty() && askers.size() == 1) {
        answers[askers.front()] = answer;
    } else if (!answer.empty() && !askers.empty()) {
        Bytes unclaimed;
        std::optional<std::size_t> last;
        for (const Bytes& block : blocksOf(answer)) {
            const std::string key = sim::requestKey(firstLine(block));
            const auto echoed = std::find_if(askers.begin(), askers.end(), [&](std::size_t i) {
                return answers[i].empty() && sim::requestKey(lines[i]) == key;
            });
            if (echoed == askers.end()) {
                append(unclaimed, block);
                continue;
            }
            append(answers[*echoed], unclaimed);
            append(answers[*echoed], block);
            unclaimed.clear();
            last = *echoed;
        }
        append(answers[last.value_or(askers.front())], unclaimed);
    }
    std::vector<sim::Reply> replies;
    for (const std::size_t i : requests) {
        if (answers[i].empty() && !isPJLCommand(lines[i])) continue;
        sim::Reply reply{sim::requestLine(lines[i]), std::move(answers[i]), std::nullopt};
        if (!reply.answer.empty() && delayMs > 0) reply.delayMs = delayMs;
        addReply(replies, std::move(reply));
    }
    return replies;
}

void addReply(std::vector<sim::Reply>& replies, sim::Reply reply) {
    const std::string key = sim::requestKey(reply.to);
    const auto same = std::find_if(replies.begin(), replies.end(),
                                   [&](const sim::Reply& earlier) { return sim::requestKey(earlier.to) == key; });
    if (same == replies.end()) {
        replies.push_back(std::move(reply));
    } else if (!reply.answer.empty() || same->answer.empty()) {
        *same = std::move(reply);
    }
}

void merge(std::vector<sim::VirtualPrinterConfig>& printers, const PrinterRecord& record) {
    auto printer = std::find_if(printers.begin(), printers.end(), [&](const sim::VirtualPrinterConfig& p) {
        return p.vendorID == record.vendorID && p.productID == record.productID &&
               sim::stringDescriptorOf(p.serialDescriptor, p.serialNumber) == record.serialDescriptor &&
               (record.serialDescriptor || p.locationID == record.locationID);
    });
    if (printer == printers.end()) printer = printers.emplace(printers.end());
    sim::VirtualPrinterConfig& p = *printer;
    p.vendorID = record.vendorID;
    p.productID = record.productID;
    p.locationID = record.locationID;
    if (record.deviceIDReply) {
        p.deviceIDReply = record.deviceIDReply;
        p.deviceID.reset();
        p.deviceIDLength.reset();
    }
    if (record.serialDescriptor) {
        p.serialDescriptor = record.serialDescriptor;
        p.serialNumber.reset();
    }
    if (record.interfaces) {
        p.interfaces = *record.interfaces;
        const bool described = std::any_of(p.interfaces.begin(), p.interfaces.end(), [&](const auto& s) {
            return s.number == 0 && s.alternateSetting == p.alternateSetting;
        });
        if (!described) p.alternateSetting = 0;
    }
    if (!record.pendingAnswer.empty()) p.pendingAnswer = record.pendingAnswer;
    if (record.idleReadWaits) p.idleIn = sim::IdleIn::Nak;
    for (const sim::Reply& reply : record.replies) addReply(p.replies, reply);
    p.notes.insert(p.notes.end(), record.notes.begin(), record.notes.end());
    if (p.notes.size() > kMostNotes) {
        p.notes.erase(p.notes.begin(), p.notes.end() - static_cast<std::ptrdiff_t>(kMostNotes));
    }
}

bool save(const std::string& path, const std::vector<PrinterRecord>& records) {
    // A run that saved meanwhile has put a new file at the path: the turn
    // is taken again on that one.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const UniqueFD fd = openRegularFileForUpdate(path);
        if (!fd.isValid()) {
            ZELVIK_TRACE("recording not saved: %s is no regular file this run may write", path.c_str());
            return false;
        }
        if (!takeTurn(fd.get())) {
            ZELVIK_TRACE("recording not saved: %s is held by another run", path.c_str());
            return false;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.get(), &held) != 0 || ::lstat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
            held.st_ino != named.st_ino) {
            continue;
        }
        // A recording is read back as far as the bus file reader would take it.
        const std::optional<Bytes> content = readOpenFile(fd.get(), sim::kLargestBusFile);
        if (!content) {
            ZELVIK_TRACE("recording not saved: %s cannot be read back", path.c_str());
            return false;
        }
        std::vector<sim::VirtualPrinterConfig> printers;
        if (!isBlank(*content)) {
            sim::BusFile recorded = sim::parseBusFile(*content);
            if (recorded.error) {
                ZELVIK_TRACE("recording not saved: %s is not a recording, and is left as it is (%s)", path.c_str(),
                             sim::describeBusFileError(path, *recorded.error).c_str());
                return false;
            }
            printers = std::move(recorded.printers);
        }
        for (const PrinterRecord& record : records) merge(printers, record);
        const std::string text = sim::writeBusFile(printers, kHeading);
        const Bytes bytes(text.begin(), text.end());
        // What is written must replay: a description the reader would
        // refuse is not saved.
        if (const sim::BusFile check = sim::parseBusFile(bytes); check.error) {
            ZELVIK_TRACE("recording not saved: %s", sim::describeBusFileError(path, *check.error).c_str());
            return false;
        }
        if (KxFileManager().saveFile(path, bytes, held.st_mode & 0777) != 0) {
            ZELVIK_TRACE("recording not saved: %s cannot be replaced", path.c_str());
            return false;
        }
        ZELVIK_TRACE("recording saved: %s, %zu printers", path.c_str(), printers.size());
        return true;
    }
    ZELVIK_TRACE("recording not saved: %s keeps being replaced", path.c_str());
    return false;
}

}  // namespace zelvik::record
