// SPDX-License-Identifier: Apache-2.0
// The C interface over the client library: each handle holds the C++ value
// it stands for, each call turns the C++ result into a code, and no C++
// exception leaves a function of this file.
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelvik/client.h"
#include "zelvik/pjl.h"
#include "zelvik/zelvik.h"

#ifndef ZELVIK_VERSION_TEXT
#define ZELVIK_VERSION_TEXT "0.0.0"
#endif

namespace zc = zelvik::client;

struct zelvik_error {
    zelvik_result kind;
    int helperCode;
    std::string message;
    std::string advice;
    zelvik::client::Reason reason;
};

struct zelvik_helper {
    zc::Helper helper;
};

struct zelvik_printer_list {
    std::vector<zc::Printer> printers;
};

struct zelvik_job {
    enum class Kind { print, query, list, active };
    zelvik_job(zc::Job started, Kind commandKind) : job(std::move(started)), kind(commandKind) {}
    // Waiting changes nothing a caller sees: the C calls that only look at
    // a job take it const.
    mutable zc::Job job;
    Kind kind;
    // The outcome's C values, made once, by the first call that asks after
    // the end.
    mutable std::once_flag settled;
    mutable std::optional<zelvik_error> error;
    mutable std::optional<zelvik_printer_list> printers;
};

struct zelvik_watch {
    zc::PrinterWatch watch;
};

// An event as the watch reported it, with its error in C.
struct zelvik_watch_event {
    const zc::PrinterEvent* event;
    const zelvik_error* error;
};

struct zelvik_pjl_answer {
    std::string bytes;
    std::vector<zc::pjl::Block> blocks;
};

namespace {

// Handed out when there is no memory for an error of its own; never
// changed, and freeing it does nothing.
zelvik_error kOutOfMemory{ZELVIK_ERROR_NO_MEMORY, 0, "out of memory", {}, zelvik::client::Reason::none};

zelvik_result kindOf(const zc::Error& error) {
    switch (error.kind()) {
        case zc::ErrorKind::helperReported:
            switch (error.code()) {
                case 1: return ZELVIK_ERROR_COMMAND_REFUSED;
                case 3: return ZELVIK_ERROR_LIST_FAILED;
                case 4: return ZELVIK_ERROR_FILE_UNUSABLE;
                case 5: return ZELVIK_ERROR_ANSWER_NOT_SAVED;
                case 7: return ZELVIK_ERROR_PRINTER_UNREACHABLE;
                case 8: return ZELVIK_ERROR_TIMED_OUT;
                default: return ZELVIK_ERROR_HELPER;
            }
        case zc::ErrorKind::badRequest: return ZELVIK_ERROR_INVALID;
        case zc::ErrorKind::setupFailed: return ZELVIK_ERROR_SETUP;
        case zc::ErrorKind::startFailed: return ZELVIK_ERROR_HELPER_NOT_STARTED;
        case zc::ErrorKind::noStatus: return ZELVIK_ERROR_NO_STATUS;
        case zc::ErrorKind::resultMissing: return ZELVIK_ERROR_RESULT_MISSING;
        case zc::ErrorKind::resultMalformed: return ZELVIK_ERROR_RESULT_MALFORMED;
        case zc::ErrorKind::busy: return ZELVIK_ERROR_BUSY;
    }
    return ZELVIK_ERROR_HELPER;
}

zelvik_error errorOf(const zc::Error& error) {
    return zelvik_error{kindOf(error), error.kind() == zc::ErrorKind::helperReported ? error.code() : 0,
                        error.message(), error.advice(), error.reason()};
}

// An error of the C interface's own, about no printer.
zelvik_error ownError(zelvik_result kind, std::string message) {
    return zelvik_error{kind, 0, std::move(message), {}, zc::Reason::none};
}

// Stores a new error where the caller asked for one; returns its kind.
int fail(zelvik_error** out, zelvik_error error) {
    const int kind = error.kind;
    if (out == nullptr) return kind;
    *out = new (std::nothrow) zelvik_error(std::move(error));
    if (*out == nullptr) *out = &kOutOfMemory;
    return kind;
}

int fail(zelvik_error** out, const zc::Error& error) { return fail(out, errorOf(error)); }

int invalid(zelvik_error** out, const char* what) {
    return fail(out, ownError(ZELVIK_ERROR_INVALID, std::string("invalid argument: ") + what));
}

int outOfMemory(zelvik_error** out) {
    if (out != nullptr) *out = &kOutOfMemory;
    return ZELVIK_ERROR_NO_MEMORY;
}

// Runs the body of a C call: what C++ throws (no memory, no thread to be
// had) becomes a code here.
template <typename Body>
int guarded(zelvik_error** out, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return outOfMemory(out);
    } catch (const std::exception& caught) {
        try {
            return fail(out,
                        ownError(ZELVIK_ERROR_SETUP, std::string("could not prepare the command: ") + caught.what()));
        } catch (...) {
            return outOfMemory(out);
        }
    } catch (...) {
        return outOfMemory(out);
    }
}

// A listed printer's string, or NULL for an index out of range.
template <typename Field>
const char* field(const zelvik_printer_list* list, size_t index, Field member) {
    if (list == nullptr || index >= list->printers.size()) return nullptr;
    return (list->printers[index].*member).c_str();
}

// A listing's maximum: a negative one is no maximum.
std::optional<int> maximumOf(int maximum) { return maximum < 0 ? std::nullopt : std::optional<int>(maximum); }

// A NULL-terminated array of strings.
std::vector<std::string> stringList(const char* const* strings) {
    std::vector<std::string> list;
    for (const char* const* entry = strings; *entry != nullptr; ++entry) list.emplace_back(*entry);
    return list;
}

// A job that has no descriptor to show its end would leave an event loop
// waiting for ever: it is not handed out.
int started(zelvik_job** out, zelvik_error** error, zc::Job job, zelvik_job::Kind kind) {
    if (job.endedFd() < 0) {
        return fail(error, ownError(ZELVIK_ERROR_SETUP, "could not prepare the command: no event descriptor"));
    }
    *out = new zelvik_job(std::move(job), kind);
    return ZELVIK_OK;
}

// The job's result once it has ended, its C values made; null while it
// runs.
const zc::Result<zc::Completion>* ended(const zelvik_job* job) {
    if (job == nullptr) return nullptr;
    const zc::Result<zc::Completion>* done = job->job.waitFor(std::chrono::milliseconds(0));
    if (done == nullptr) return nullptr;
    std::call_once(job->settled, [job, done] {
        if (!*done) {
            job->error = errorOf(done->error());
        } else if (job->kind == zelvik_job::Kind::list && !(*done)->cancelled) {
            job->printers = zelvik_printer_list{(*done)->printers};
        }
    });
    return done;
}

// The outcome of a job that ended well and was not cancelled; null else.
const zc::Completion* completed(const zelvik_job* job, zelvik_job::Kind kind) {
    try {
        const zc::Result<zc::Completion>* done = ended(job);
        if (done == nullptr || !*done || (*done)->cancelled || job->kind != kind) return nullptr;
        return &**done;
    } catch (...) {
        return nullptr;
    }
}

const zc::pjl::Block* blockAt(const zelvik_pjl_answer* answer, size_t block) {
    if (answer == nullptr || block >= answer->blocks.size()) return nullptr;
    return &answer->blocks[block];
}

const zc::pjl::Line* lineAt(const zelvik_pjl_answer* answer, size_t block, size_t line) {
    const zc::pjl::Block* found = blockAt(answer, block);
    if (found == nullptr || line >= found->lines.size()) return nullptr;
    return &found->lines[line];
}

const char* textOf(const zc::pjl::Line* line) { return line != nullptr ? line->value.c_str() : nullptr; }

// An event about a printer.
bool printerEvent(const zelvik_watch_event* event) {
    return event != nullptr && (event->event->kind == zc::PrinterEvent::Kind::added ||
                                event->event->kind == zc::PrinterEvent::Kind::removed);
}

int newAnswer(std::string bytes, zelvik_pjl_answer** answer) {
    auto made = std::make_unique<zelvik_pjl_answer>();
    made->bytes = std::move(bytes);
    made->blocks = zc::pjl::blocks(made->bytes);
    *answer = made.release();
    return ZELVIK_OK;
}

}  // namespace

extern "C" {

const char* zelvik_result_name(int result) {
    switch (result) {
        case ZELVIK_OK: return "ZELVIK_OK";
        case ZELVIK_ERROR_INVALID: return "ZELVIK_ERROR_INVALID";
        case ZELVIK_ERROR_NO_MEMORY: return "ZELVIK_ERROR_NO_MEMORY";
        case ZELVIK_ERROR_STILL_RUNNING: return "ZELVIK_ERROR_STILL_RUNNING";
        case ZELVIK_ERROR_NOT_FOUND: return "ZELVIK_ERROR_NOT_FOUND";
        case ZELVIK_ERROR_SETUP: return "ZELVIK_ERROR_SETUP";
        case ZELVIK_ERROR_HELPER_NOT_STARTED: return "ZELVIK_ERROR_HELPER_NOT_STARTED";
        case ZELVIK_ERROR_NO_STATUS: return "ZELVIK_ERROR_NO_STATUS";
        case ZELVIK_ERROR_RESULT_MISSING: return "ZELVIK_ERROR_RESULT_MISSING";
        case ZELVIK_ERROR_RESULT_MALFORMED: return "ZELVIK_ERROR_RESULT_MALFORMED";
        case ZELVIK_ERROR_BUSY: return "ZELVIK_ERROR_BUSY";
        case ZELVIK_ERROR_HELPER: return "ZELVIK_ERROR_HELPER";
        case ZELVIK_ERROR_COMMAND_REFUSED: return "ZELVIK_ERROR_COMMAND_REFUSED";
        case ZELVIK_ERROR_LIST_FAILED: return "ZELVIK_ERROR_LIST_FAILED";
        case ZELVIK_ERROR_FILE_UNUSABLE: return "ZELVIK_ERROR_FILE_UNUSABLE";
        case ZELVIK_ERROR_ANSWER_NOT_SAVED: return "ZELVIK_ERROR_ANSWER_NOT_SAVED";
        case ZELVIK_ERROR_PRINTER_UNREACHABLE: return "ZELVIK_ERROR_PRINTER_UNREACHABLE";
        case ZELVIK_ERROR_TIMED_OUT: return "ZELVIK_ERROR_TIMED_OUT";
        default: return "ZELVIK_ERROR_UNKNOWN";
    }
}

const char* zelvik_version(void) { return ZELVIK_VERSION_TEXT; }

zelvik_result zelvik_error_kind(const zelvik_error* error) { return error != nullptr ? error->kind : ZELVIK_OK; }
int zelvik_error_helper_code(const zelvik_error* error) { return error != nullptr ? error->helperCode : 0; }
const char* zelvik_error_message(const zelvik_error* error) {
    return error != nullptr ? error->message.c_str() : "no error";
}
const char* zelvik_error_advice(const zelvik_error* error) { return error != nullptr ? error->advice.c_str() : ""; }
const char* zelvik_error_reason(const zelvik_error* error) {
    return zc::nameOf(error != nullptr ? error->reason : zc::Reason::none);
}
void zelvik_error_free(zelvik_error* error) {
    if (error != &kOutOfMemory) delete error;
}

int zelvik_helper_new_installed(zelvik_helper** helper) {
    if (helper == nullptr) return ZELVIK_ERROR_INVALID;
    return guarded(nullptr, [&]() -> int {
        *helper = new zelvik_helper{zc::Helper::installed()};
        return ZELVIK_OK;
    });
}

int zelvik_helper_new_simulated(const char* bus_file, const char* program, zelvik_helper** helper) {
    if (bus_file == nullptr || helper == nullptr) return ZELVIK_ERROR_INVALID;
    return guarded(nullptr, [&]() -> int {
        *helper = new zelvik_helper{program != nullptr ? zc::Helper::simulated(bus_file, program)
                                                       : zc::Helper::simulated(bus_file)};
        return ZELVIK_OK;
    });
}

int zelvik_helper_new(const char* program, const char* const* environment, zelvik_helper** helper) {
    if (program == nullptr || helper == nullptr) return ZELVIK_ERROR_INVALID;
    return guarded(nullptr, [&]() -> int {
        zc::Helper made{program, {}};
        if (environment != nullptr) made.environment = stringList(environment);
        *helper = new zelvik_helper{std::move(made)};
        return ZELVIK_OK;
    });
}

const char* zelvik_helper_program(const zelvik_helper* helper) {
    return helper != nullptr ? helper->helper.program.c_str() : nullptr;
}
void zelvik_helper_free(zelvik_helper* helper) { delete helper; }

int zelvik_list_printers(const zelvik_helper* helper, int maximum, zelvik_printer_list** list, zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || list == nullptr) return invalid(error, "helper or list is NULL");
        zc::Result<std::vector<zc::Printer>> printers = zc::listPrinters(helper->helper, maximumOf(maximum));
        if (!printers) return fail(error, printers.error());
        *list = new zelvik_printer_list{std::move(printers).value()};
        return ZELVIK_OK;
    });
}

size_t zelvik_printer_list_count(const zelvik_printer_list* list) {
    return list != nullptr ? list->printers.size() : 0;
}
const char* zelvik_printer_list_model(const zelvik_printer_list* list, size_t index) {
    return field(list, index, &zc::Printer::modelName);
}
const char* zelvik_printer_list_serial(const zelvik_printer_list* list, size_t index) {
    return field(list, index, &zc::Printer::serialNumber);
}
const char* zelvik_printer_list_uri(const zelvik_printer_list* list, size_t index) {
    return field(list, index, &zc::Printer::deviceURI);
}
void zelvik_printer_list_free(zelvik_printer_list* list) { delete list; }

int zelvik_is_machine_active(const zelvik_helper* helper, const char* device_uri, int* active, zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || device_uri == nullptr || active == nullptr) {
            return invalid(error, "helper, device_uri or active is NULL");
        }
        const zc::Result<bool> answer = zc::isMachineActive(helper->helper, device_uri);
        if (!answer) return fail(error, answer.error());
        *active = *answer ? 1 : 0;
        return ZELVIK_OK;
    });
}

int zelvik_pjl_answer_new(const void* bytes, size_t size, zelvik_pjl_answer** answer) {
    if ((bytes == nullptr && size > 0) || answer == nullptr) return ZELVIK_ERROR_INVALID;
    return guarded(nullptr, [&]() -> int {
        return newAnswer(size > 0 ? std::string(static_cast<const char*>(bytes), size) : std::string(), answer);
    });
}

const char* zelvik_pjl_answer_bytes(const zelvik_pjl_answer* answer, size_t* size) {
    if (answer == nullptr) return nullptr;
    if (size != nullptr) *size = answer->bytes.size();
    return answer->bytes.c_str();
}

size_t zelvik_pjl_answer_block_count(const zelvik_pjl_answer* answer) {
    return answer != nullptr ? answer->blocks.size() : 0;
}

int zelvik_pjl_answer_find(const zelvik_pjl_answer* answer, const char* question, size_t* block) {
    if (answer == nullptr || question == nullptr) return ZELVIK_ERROR_INVALID;
    return guarded(nullptr, [&]() -> int {
        const zc::pjl::Block* found = zc::pjl::answerTo(answer->blocks, question);
        if (found == nullptr) return ZELVIK_ERROR_NOT_FOUND;
        if (block != nullptr) *block = static_cast<size_t>(found - answer->blocks.data());
        return ZELVIK_OK;
    });
}

const char* zelvik_pjl_answer_value(const zelvik_pjl_answer* answer, const char* question, const char* key) {
    size_t block = 0;
    if (key == nullptr || zelvik_pjl_answer_find(answer, question, &block) != ZELVIK_OK) return nullptr;
    return zelvik_pjl_block_value(answer, block, key);
}

const char* zelvik_pjl_block_header(const zelvik_pjl_answer* answer, size_t block) {
    const zc::pjl::Block* found = blockAt(answer, block);
    return found != nullptr ? found->header.c_str() : nullptr;
}
int zelvik_pjl_block_complete(const zelvik_pjl_answer* answer, size_t block) {
    const zc::pjl::Block* found = blockAt(answer, block);
    return found != nullptr && found->complete ? 1 : 0;
}
size_t zelvik_pjl_block_line_count(const zelvik_pjl_answer* answer, size_t block) {
    const zc::pjl::Block* found = blockAt(answer, block);
    return found != nullptr ? found->lines.size() : 0;
}
const char* zelvik_pjl_block_value(const zelvik_pjl_answer* answer, size_t block, const char* key) {
    const zc::pjl::Block* found = blockAt(answer, block);
    if (found == nullptr || key == nullptr) return nullptr;
    return textOf(zc::pjl::lineOf(*found, key));
}
const char* zelvik_pjl_block_bare_value(const zelvik_pjl_answer* answer, size_t block) {
    const zc::pjl::Block* found = blockAt(answer, block);
    return found != nullptr ? textOf(zc::pjl::bareLine(*found)) : nullptr;
}

const char* zelvik_pjl_line_key(const zelvik_pjl_answer* answer, size_t block, size_t line) {
    const zc::pjl::Line* found = lineAt(answer, block, line);
    return found != nullptr ? found->key.c_str() : nullptr;
}
const char* zelvik_pjl_line_value(const zelvik_pjl_answer* answer, size_t block, size_t line) {
    return textOf(lineAt(answer, block, line));
}
int zelvik_pjl_line_quoted(const zelvik_pjl_answer* answer, size_t block, size_t line) {
    const zc::pjl::Line* found = lineAt(answer, block, line);
    return found != nullptr && found->quoted ? 1 : 0;
}
void zelvik_pjl_answer_free(zelvik_pjl_answer* answer) { delete answer; }

int zelvik_send_pjl(const zelvik_helper* helper, const char* device_uri, const char* const* commands, int time_limit,
                    zelvik_pjl_answer** answer, zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || device_uri == nullptr || commands == nullptr || answer == nullptr) {
            return invalid(error, "helper, device_uri, commands or answer is NULL");
        }
        zc::Result<std::string> sent = zc::sendPJL(helper->helper, device_uri, zc::pjlRequest(stringList(commands)),
                                                   std::chrono::seconds(time_limit));
        if (!sent) return fail(error, sent.error());
        return newAnswer(std::move(sent).value(), answer);
    });
}

int zelvik_job_start_list(const zelvik_helper* helper, int maximum, zelvik_job** job, zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || job == nullptr) return invalid(error, "helper or job is NULL");
        return started(job, error, zc::Job::list(helper->helper, maximumOf(maximum)), zelvik_job::Kind::list);
    });
}

int zelvik_job_start_active(const zelvik_helper* helper, const char* device_uri, zelvik_job** job,
                            zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || device_uri == nullptr || job == nullptr) {
            return invalid(error, "helper, device_uri or job is NULL");
        }
        return started(job, error, zc::Job::active(helper->helper, device_uri), zelvik_job::Kind::active);
    });
}

int zelvik_job_start_print(const zelvik_helper* helper, const char* device_uri, const char* file,
                           zelvik_progress_fn on_progress, void* user_data, zelvik_job** job, zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || device_uri == nullptr || file == nullptr || job == nullptr) {
            return invalid(error, "helper, device_uri, file or job is NULL");
        }
        zc::Job::ProgressHandler handler;
        if (on_progress != nullptr)
            handler = [on_progress, user_data](int percent) { on_progress(percent, user_data); };
        return started(job, error, zc::Job::print(helper->helper, device_uri, file, std::move(handler)),
                       zelvik_job::Kind::print);
    });
}

int zelvik_job_start_pjl(const zelvik_helper* helper, const char* device_uri, const char* const* commands,
                         int time_limit, zelvik_job** job, zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || device_uri == nullptr || commands == nullptr || job == nullptr) {
            return invalid(error, "helper, device_uri, commands or job is NULL");
        }
        const std::string request = zc::pjlRequest(stringList(commands));
        return started(job, error, zc::Job::pjl(helper->helper, device_uri, request, std::chrono::seconds(time_limit)),
                       zelvik_job::Kind::query);
    });
}

int zelvik_job_start_pjl_bytes(const zelvik_helper* helper, const char* device_uri, const void* bytes, size_t size,
                               int time_limit, zelvik_job** job, zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || device_uri == nullptr || (bytes == nullptr && size > 0) || job == nullptr) {
            return invalid(error, "helper, device_uri, bytes or job is NULL");
        }
        const std::string_view request(size > 0 ? static_cast<const char*>(bytes) : "", size);
        return started(job, error, zc::Job::pjl(helper->helper, device_uri, request, std::chrono::seconds(time_limit)),
                       zelvik_job::Kind::query);
    });
}

void zelvik_job_cancel(zelvik_job* job) {
    if (job != nullptr) job->job.cancel();
}

int zelvik_job_wait(zelvik_job* job, int timeout_ms) {
    if (job == nullptr) return ZELVIK_ERROR_INVALID;
    return guarded(nullptr, [&]() -> int {
        const zc::Result<zc::Completion>* done =
            timeout_ms < 0 ? &job->job.wait() : job->job.waitFor(std::chrono::milliseconds(timeout_ms));
        if (done == nullptr) return ZELVIK_ERROR_STILL_RUNNING;
        return *done ? ZELVIK_OK : kindOf(done->error());
    });
}

int zelvik_job_fd(const zelvik_job* job) { return job != nullptr ? job->job.endedFd() : -1; }
int zelvik_job_progress(const zelvik_job* job) { return job != nullptr ? job->job.progress() : -1; }

int zelvik_job_cancelled(const zelvik_job* job) {
    try {
        const zc::Result<zc::Completion>* done = ended(job);
        return done != nullptr && *done && (*done)->cancelled ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

const zelvik_error* zelvik_job_error(const zelvik_job* job) {
    try {
        const zc::Result<zc::Completion>* done = ended(job);
        if (done == nullptr || *done) return nullptr;
        return &*job->error;
    } catch (...) {
        return &kOutOfMemory;
    }
}

const char* zelvik_job_answer(const zelvik_job* job, size_t* size) {
    const zc::Completion* done = completed(job, zelvik_job::Kind::query);
    if (done == nullptr) return nullptr;
    if (size != nullptr) *size = done->answer.size();
    return done->answer.c_str();
}

const zelvik_printer_list* zelvik_job_printers(const zelvik_job* job) {
    return completed(job, zelvik_job::Kind::list) != nullptr ? &*job->printers : nullptr;
}

int zelvik_job_active(const zelvik_job* job) {
    const zc::Completion* done = completed(job, zelvik_job::Kind::active);
    if (done == nullptr) return -1;
    return done->active ? 1 : 0;
}

void zelvik_job_free(zelvik_job* job) { delete job; }

zelvik_watch_change zelvik_watch_event_kind(const zelvik_watch_event* event) {
    if (event == nullptr) return ZELVIK_LISTING_FAILED;
    switch (event->event->kind) {
        case zc::PrinterEvent::Kind::added: return ZELVIK_PRINTER_ADDED;
        case zc::PrinterEvent::Kind::removed: return ZELVIK_PRINTER_REMOVED;
        case zc::PrinterEvent::Kind::listingFailed: return ZELVIK_LISTING_FAILED;
        case zc::PrinterEvent::Kind::ready: return ZELVIK_WATCH_READY;
    }
    return ZELVIK_LISTING_FAILED;
}
int zelvik_watch_event_initial(const zelvik_watch_event* event) {
    return event != nullptr && event->event->initial ? 1 : 0;
}
const char* zelvik_watch_event_model(const zelvik_watch_event* event) {
    return printerEvent(event) ? event->event->printer.modelName.c_str() : nullptr;
}
const char* zelvik_watch_event_serial(const zelvik_watch_event* event) {
    return printerEvent(event) ? event->event->printer.serialNumber.c_str() : nullptr;
}
const char* zelvik_watch_event_uri(const zelvik_watch_event* event) {
    return printerEvent(event) ? event->event->printer.deviceURI.c_str() : nullptr;
}
const zelvik_error* zelvik_watch_event_error(const zelvik_watch_event* event) {
    return event != nullptr ? event->error : nullptr;
}

int zelvik_watch_new(const zelvik_helper* helper, zelvik_watch_fn on_event, void* user_data, zelvik_watch** watch,
                     zelvik_error** error) {
    return guarded(error, [&]() -> int {
        if (helper == nullptr || on_event == nullptr || watch == nullptr) {
            return invalid(error, "helper, on_event or watch is NULL");
        }
        zc::Result<zc::PrinterWatch> started =
            zc::watchPrinters(helper->helper, [on_event, user_data](const zc::PrinterEvent& event) {
                std::optional<zelvik_error> failure;
                const zelvik_error* shown = nullptr;
                if (event.error) {
                    try {
                        shown = &failure.emplace(errorOf(*event.error));
                    } catch (...) {
                        shown = &kOutOfMemory;
                    }
                }
                const zelvik_watch_event c{&event, shown};
                on_event(&c, user_data);
            });
        if (!started) return fail(error, started.error());
        *watch = new zelvik_watch{std::move(started).value()};
        return ZELVIK_OK;
    });
}

void zelvik_watch_stop(zelvik_watch* watch) {
    if (watch != nullptr) watch->watch.stop();
}
void zelvik_watch_free(zelvik_watch* watch) { delete watch; }

}  // extern "C"
