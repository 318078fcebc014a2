// SPDX-License-Identifier: Apache-2.0
// Command intake and dispatch on arbitrary command files: the command
// service reads, consumes and runs the file in-process, its handlers
// talking to a virtual bus that the first input byte picks.
//
//   input = [bus preset] command file bytes
//
// Everything happens in a sandbox folder made at start; the target works
// inside it, so relative paths land there. A command file that names any
// other place (an absolute path outside the sandbox, or "..") is skipped
// unrun, and so is one whose PJL time limit exceeds a second. After every
// run it checks, aborting on a violation:
//  - the secret file's content (and so anything an external entity, a
//    parameter entity or an external DTD could pull in) is in no file, nor
//    in any file name, the program wrote;
//  - no temporary file of a save is left;
//  - no printer device or interface is held open;
//  - a refused command file is where it was, unchanged, and no status was
//    written; otherwise the command file is gone and the status file, when
//    one was saved, is exactly the status document with a known code.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/ZelvikController.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace {

namespace fs = std::filesystem;
using zelvik::Dictionary;
using zelvik::Value;
using zelvik::sim::VirtualPrinterConfig;

// Fixed, so that seeds can name files in it by absolute path.
const std::string kSandbox = "/tmp/zelvik-fuzz-intake";
const std::string kCommandFile = kSandbox + "/command.xml";

std::string gSecret;
// The files made at start, by name, with their content.
std::map<std::string, std::string> gInputs;
zelvik::Application* gApplication = nullptr;

[[noreturn]] void violated(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "fuzz_intake: %s %s\n", what, detail.c_str());
    std::abort();
}

// Anything at the path, a dangling symbolic link too.
bool present(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeWhole(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.flush()) violated("cannot write", path.string());
}

std::string randomSecret() {
    unsigned char bytes[16] = {};
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::read(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) violated("no randomness");
    ::close(fd);
    std::string text = "zelvik-secret-";
    for (unsigned char b : bytes) {
        static const char digits[] = "0123456789abcdef";
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// Print data of a few KiB that does not end on a chunk boundary.
std::string printData() {
    std::string data(4096 + 100, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7 + i / 2048) & 0xff);
    return data;
}

// Everything but the fixed inputs goes; an input the program overwrote gets
// its content back.
void resetSandbox() {
    std::error_code error;
    std::vector<fs::path> made;
    for (auto it = fs::directory_iterator(kSandbox, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        if (!gInputs.count(it->path().filename().string())) made.push_back(it->path());
    }
    for (const fs::path& path : made) fs::remove_all(path, error);
    for (const auto& [name, content] : gInputs) {
        const fs::path path = kSandbox + "/" + name;
        if (!fs::is_regular_file(fs::symlink_status(path, error)) || readWhole(path) != content) {
            fs::remove_all(path, error);
            writeWhole(path, content);
        }
    }
}

void setSecret(const std::string& secret) {
    gSecret = secret;
    gInputs = {
        {"secret.txt", gSecret + "\n"},
        // An external DTD whose entities hold the secret.
        {"evil.dtd", "<!ENTITY leak \"" + gSecret + "\">\n<!ENTITY % pleak \"<!ENTITY leak2 '" + gSecret + "'>\">\n"},
        {"query.pjl", "\x1b%-12345X@PJL INFO ID\r\n"},
        {"print.bin", printData()},
        {"empty.bin", ""},
    };
    for (const auto& [name, content] : gInputs) writeWhole(kSandbox + "/" + name, content);
}

bool mentions(const Value& value, const std::string& text) {
    if (const std::string* string = value.asString()) return string->find(text) != std::string::npos;
    if (const Dictionary* dictionary = value.asDictionary()) {
        for (std::size_t i = 0; i < dictionary->size(); ++i) {
            if (dictionary->nameAt(i).find(text) != std::string::npos || mentions(dictionary->valueAt(i), text))
                return true;
        }
    } else if (const zelvik::Array* array = value.asArray()) {
        for (const Value& element : *array) {
            if (mentions(element, text)) return true;
        }
    }
    return false;
}

VirtualPrinterConfig printer(const std::string& serial) {
    VirtualPrinterConfig config;
    config.deviceID = "MFG:Zelvik;MDL:LP-100;";
    config.serialNumber = serial;
    return config;
}

// None of these ever stalls a transfer: a command ends within its own
// time limit.
std::vector<VirtualPrinterConfig> busPreset(std::uint8_t choice) {
    std::vector<VirtualPrinterConfig> bus;
    switch (choice % 6) {
        case 0: break;  // no printer at all
        case 1:         // answers every write at once
            bus.push_back(printer("A1"));
            bus.back().answer = zelvik::Bytes{'O', 'K', '\r', '\n'};
            break;
        case 2:  // two printers; the second answers PJL only
            bus.push_back(printer("A1"));
            bus.back().answer = zelvik::Bytes{'O', 'K'};
            bus.push_back(printer("B2"));
            break;
        case 3:  // someone else holds it
            bus.push_back(printer("A1"));
            bus.back().heldOpen = true;
            break;
        case 4:  // leaves the bus within the second chunk of a job
            bus.push_back(printer("A1"));
            bus.back().disconnectAfterBytes = 3000;
            break;
        case 5:  // has stale bytes queued, then answers PJL only
            bus.push_back(printer("A1"));
            bus.back().pendingAnswer = zelvik::Bytes{'s', 't', 'a', 'l', 'e', '\r', '\n'};
            break;
    }
    return bus;
}

// A string the program may take as a path stays in the sandbox.
bool staysInSandbox(const std::string& text) {
    if (text.find('\0') != std::string::npos || text.find("..") != std::string::npos) return false;
    return text.empty() || text[0] != '/' || text.compare(0, kSandbox.size() + 1, kSandbox + "/") == 0;
}

bool everyStringStays(const Value& value) {
    if (const std::string* text = value.asString()) return staysInSandbox(*text);
    if (const Dictionary* dictionary = value.asDictionary()) {
        for (std::size_t i = 0; i < dictionary->size(); ++i) {
            if (!everyStringStays(dictionary->valueAt(i))) return false;
        }
    } else if (const zelvik::Array* array = value.asArray()) {
        for (const Value& element : *array) {
            if (!everyStringStays(element)) return false;
        }
    }
    return true;
}

bool isStatusDocument(const std::string& content) {
    for (int code : {0, 1, 3, 4, 5, 7, 8, 11, 15}) {
        if (content == "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<statusBody>\n    <errorCode>" +
                           std::to_string(code) + "</errorCode>\n</statusBody>\n")
            return true;
    }
    return false;
}

// The name a save gives its file until it is complete: ".zelvik-" pid
// "-" count ".tmp".
bool isTemporaryName(const std::string& name) {
    std::size_t i = 8;
    if (name.rfind(".zelvik-", 0) != 0) return false;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
        return i > start;
    };
    if (!digits() || i >= name.size() || name[i++] != '-' || !digits()) return false;
    return name.compare(i, std::string::npos, ".tmp") == 0;
}

// The command file, when it is still there as it came, is the input's own,
// and so is a file it names.
void checkWrittenFiles(const std::string& command) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(kSandbox, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.find(gSecret) != std::string::npos) violated("secret in a file name", it->path().string());
        if (isTemporaryName(name) && command.find(name) == std::string::npos)
            violated("temporary file left", it->path().string());
        if (!it->is_regular_file(error)) continue;
        const std::optional<std::string> content = readWhole(it->path());
        if (!content) continue;
        const auto input = gInputs.find(name);
        if (it.depth() == 0 && input != gInputs.end() && input->second == *content) continue;
        if (it->path() == kCommandFile && *content == command) continue;
        if (content->find(gSecret) != std::string::npos) violated("secret in a written file", it->path().string());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A sandbox left by an earlier run, or anything else at its name, goes;
    // a symbolic link there is removed, never followed.
    std::error_code error;
    fs::remove_all(kSandbox, error);
    if (::mkdir(kSandbox.c_str(), 0700) != 0) violated("cannot make the sandbox", kSandbox);
    struct stat st {};
    if (::lstat(kSandbox.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        violated("the sandbox is not ours", kSandbox);
    if (::chdir(kSandbox.c_str()) != 0) violated("cannot enter the sandbox", kSandbox);

    setSecret(randomSecret());

    // The application blocks the signals its event loop reads; the fuzzer
    // keeps its own signal handling.
    sigset_t before;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
    static char name[] = "fuzz_intake";
    static char* argv[] = {name, nullptr};
    static zelvik::Application application(1, argv);
    gApplication = &application;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    resetSandbox();
    const std::string command(reinterpret_cast<const char*>(data + 1), size - 1);
    writeWhole(kCommandFile, command);

    zelvik::SimulatedUsbAccess usb(busPreset(data[0]));
    zelvik::ZelvikController controller(*gApplication, usb);

    // The same reader as the intake's decides what may run.
    const std::optional<Dictionary> tree = controller.copyXMLDataToDictionary(kCommandFile);
    std::optional<std::string> statusPath;
    if (tree) {
        if (!everyStringStays(Value(*tree))) return 0;
        if (mentions(Value(*tree), gSecret)) {
            // The command file spells the secret itself (the fuzzer learns
            // it from the checks), or the reader took it from the file: a
            // new secret tells which.
            const std::string spelled = gSecret;
            setSecret(randomSecret());
            const std::optional<Dictionary> again = controller.copyXMLDataToDictionary(kCommandFile);
            if (again && mentions(Value(*again), gSecret)) violated("the reader loaded the secret file");
            setSecret(spelled);
            return 0;
        }
        const Dictionary* body = tree->findDictionary("commandBody");
        if (body) {
            if (const std::string* timeOut = body->findString("timeOut")) {
                if (zelvik::ZelvikController::integerOfText(*timeOut) > 1) return 0;
            }
            if (const std::string* status = body->findString("statusFilePath")) statusPath = *status;
        }
    }
    // A status file there before the run is an input, left alone.
    const bool statusWasThere = statusPath && present(*statusPath);

    const int result = controller.runCommand(kCommandFile);

    if (usb.openDeviceCount() != 0 || usb.openInterfaceCount() != 0) violated("a printer was left open");
    checkWrittenFiles(command);
    if (result == zelvik::kResultNotCarriedOut) {
        // Refused: the command file stays as it was, and nothing reports.
        if (readWhole(kCommandFile) != command) violated("a refused command file changed");
        if (statusPath && !statusWasThere && present(*statusPath))
            violated("a refused command wrote a status file", *statusPath);
    } else {
        // (A handler may write a file of its own at that path.)
        if (readWhole(kCommandFile) == command) violated("a run command file was left");
        if (!statusPath) violated("a command without a status path ran");
        if (result == zelvik::kResultDone) {
            const std::optional<std::string> status = readWhole(*statusPath);
            if (!status || !isStatusDocument(*status)) violated("not a status document", *statusPath);
        } else if (result != zelvik::kResultStatusNotSaved) {
            violated("runCommand gave", std::to_string(result));
        }
    }
    return 0;
}
