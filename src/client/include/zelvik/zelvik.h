/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The Zelvik client library, C interface: runs the zelvik USB printer helper
 * for a front end written in C, or in any language that can call C.
 *
 * Build and link with `pkg-config --cflags --libs zelvik-client`; the library
 * is libzelvik-client.so.0. Everything it exports is declared here, and each
 * release keeps every function of this header with the same meaning: a
 * program built against one 0.x release runs with every later one.
 *
 * Each command runs the helper once, in a private directory of its own (mode
 * 0700, under $XDG_RUNTIME_DIR, else the temporary directory) that is removed
 * afterwards whatever happens:
 *
 *     zelvik_helper *helper = NULL;
 *     zelvik_printer_list *list = NULL;
 *     zelvik_error *error = NULL;
 *     zelvik_helper_new_installed(&helper);
 *     if (zelvik_list_printers(helper, -1, &list, &error) != ZELVIK_OK) {
 *         fprintf(stderr, "%s\n", zelvik_error_message(error));
 *         zelvik_error_free(error);
 *     }
 *
 * The conventions, which hold for every function below:
 *
 * - Results. A function that can fail returns an int: ZELVIK_OK (0), or one
 *   of the negative ZELVIK_ERROR_ codes; zelvik_result_name() names each.
 *   Where a function takes a `zelvik_error **error`, a failure also stores
 *   there a new error (its kind, the helper's own code and a message) that
 *   the caller frees with zelvik_error_free(); pass NULL when the code is
 *   enough. On success *error is left alone.
 * - Handles. Every object is an opaque handle made by a ..._new or a call
 *   that hands one out, and given back by its one ..._free function, which
 *   takes NULL too. Nothing here is a public structure, so later releases
 *   add functions, never fields.
 * - Strings. A `const char *` this library returns is owned by the library:
 *   the caller neither frees nor changes it, and it stays valid until the
 *   handle it came from is freed (for a job's answer and error: until the
 *   job is freed). Strings are UTF-8 or the bytes as the printer or the
 *   system gave them; a string given to the library is copied by the call.
 * - Threads. The library keeps no global state. A handle may be used from
 *   any thread; calls that only read a handle (marked "any thread") may run
 *   on several threads at once, and a ..._free must come after every other
 *   call on that handle has returned. The library's own threads block all
 *   signals. The one async-signal-safe function is zelvik_job_cancel().
 * - Blocking. zelvik_list_printers(), zelvik_send_pjl() and
 *   zelvik_is_machine_active() block until the helper has ended; a job
 *   (zelvik_job_start_...) returns at once and runs on a thread of its own.
 * - Nothing crosses this interface but C types: no C++ exception, type or
 *   allocator. The library needs no initialisation.
 */
#ifndef ZELVIK_ZELVIK_H
#define ZELVIK_ZELVIK_H

#include <stddef.h>

#if defined(__GNUC__)
#define ZELVIK_API __attribute__((visibility("default")))
#else
#define ZELVIK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Results and errors
 */

/* The result of every call that can fail. The codes from -100 down are the
 * helper's own status codes (-100 - code), so that a front end can tell them
 * apart without asking the error. */
enum zelvik_result {
    ZELVIK_OK = 0,
    /* A NULL or an index out of range where a value is needed, or a request
     * the helper would refuse, refused before it is started: a PJL request
     * over 2047 bytes, a time limit or a listing maximum of 0, a text XML
     * cannot carry, a bus file the simulating helper would refuse (the
     * message names its line and element). */
    ZELVIK_ERROR_INVALID = -1,
    /* Memory ran out (the error handed back may then be a shared one: free
     * it all the same). */
    ZELVIK_ERROR_NO_MEMORY = -2,
    /* zelvik_job_wait(): the time limit passed; the job goes on. */
    ZELVIK_ERROR_STILL_RUNNING = -3,
    /* zelvik_pjl_answer_find(): no block answers that question. */
    ZELVIK_ERROR_NOT_FOUND = -4,

    /* The client's own failures around a run of the helper. */
    ZELVIK_ERROR_SETUP = -10,              /* the private directory, a file in it, a thread */
    ZELVIK_ERROR_HELPER_NOT_STARTED = -11, /* the helper program could not be started */
    ZELVIK_ERROR_NO_STATUS = -12,          /* the helper ended without a status */
    ZELVIK_ERROR_RESULT_MISSING = -13,     /* status 0, but no result file */
    ZELVIK_ERROR_RESULT_MALFORMED = -14,   /* status 0, but a result that makes no sense */
    ZELVIK_ERROR_BUSY = -15,               /* another run of this user kept the printer longer than the wait */

    /* The helper's status codes. */
    ZELVIK_ERROR_HELPER = -100,              /* a code not listed below */
    ZELVIK_ERROR_COMMAND_REFUSED = -101,     /* 1: unknown command or missing parameter */
    ZELVIK_ERROR_LIST_FAILED = -103,         /* 3: the printer list could not be produced */
    ZELVIK_ERROR_FILE_UNUSABLE = -104,       /* 4: the file to send cannot be used */
    ZELVIK_ERROR_ANSWER_NOT_SAVED = -105,    /* 5: the helper could not save its answer */
    ZELVIK_ERROR_PRINTER_UNREACHABLE = -107, /* 7: printer not found or busy, or a transfer failed */
    ZELVIK_ERROR_TIMED_OUT = -108            /* 8: the printer did not answer in time */
};

/* The name of a result code ("ZELVIK_ERROR_TIMED_OUT"); "ZELVIK_ERROR_UNKNOWN"
 * for a code not listed above. A static string. Any thread. */
ZELVIK_API const char *zelvik_result_name(int result);

/* The library's version ("0.1.0"). A static string. Any thread. */
ZELVIK_API const char *zelvik_version(void);

/* What went wrong in one call or job. */
typedef struct zelvik_error zelvik_error;

/* The kind: the negative result code the call returned. (Typed as the enum
 * so that its values are part of the ABI the library is checked against.)
 * Any thread. */
ZELVIK_API enum zelvik_result zelvik_error_kind(const zelvik_error *error);
/* The helper's status code (1, 3, 4, 5, 7, 8 ...) when the helper reported
 * the failure; 0 for the client's own failures. Any thread. */
ZELVIK_API int zelvik_error_helper_code(const zelvik_error *error);
/* What went wrong, in one line of English without a final full stop
 * ("printer not found or busy"). Owned by the error. Any thread. */
ZELVIK_API const char *zelvik_error_message(const zelvik_error *error);
/* What to do about it, in one line of English that can follow the message
 * after "; " (lower-case, no final full stop); "" when there is nothing to
 * add. Owned by the error. Any thread. */
ZELVIK_API const char *zelvik_error_advice(const zelvik_error *error);
/* Why the printer could not be used, as a stable name for scripts and logs:
 * "printerHeld", "noSuchPrinter", "accessDenied", "busy", "deviceGone",
 * "timedOut" ... as the helper's trace names them; "none" when the error is
 * not about the printer, "unknown" when the helper did not say. A static
 * string. Any thread. */
ZELVIK_API const char *zelvik_error_reason(const zelvik_error *error);
/* Frees an error a call handed out (not one a job holds). NULL does nothing. */
ZELVIK_API void zelvik_error_free(zelvik_error *error);

/* ---------------------------------------------------------------------------
 * The helper: which program carries out the commands
 *
 * A helper handle does not change once made: any thread may use it, several
 * at once. A job copies what it needs when it starts, so a helper may be
 * freed while its jobs still run.
 */
typedef struct zelvik_helper zelvik_helper;

/* The installed helper, driving real printers: found where it lies in
 * relation to this library (so a moved installation works), else where the
 * build installed it. ZELVIK_ERROR_INVALID for a NULL `helper`. */
ZELVIK_API int zelvik_helper_new_installed(zelvik_helper **helper);
/* The simulating helper on a bus file of virtual printers. `program` names
 * the zelvik-sim to run; NULL for the installed one (found as above). The
 * bus file's path is made absolute now. */
ZELVIK_API int zelvik_helper_new_simulated(const char *bus_file, const char *program, zelvik_helper **helper);
/* Any helper program, and what it needs in its environment besides the
 * caller's own: `environment` is a NULL-terminated array of "NAME=value"
 * entries, or NULL for none. */
ZELVIK_API int zelvik_helper_new(const char *program, const char *const *environment, zelvik_helper **helper);
/* The path of the program the helper runs. Owned by the helper. */
ZELVIK_API const char *zelvik_helper_program(const zelvik_helper *helper);
ZELVIK_API void zelvik_helper_free(zelvik_helper *helper);

/* ---------------------------------------------------------------------------
 * Listing the printers
 */
typedef struct zelvik_printer_list zelvik_printer_list;

/* Lists the attached printers of the served vendor: at most `maximum` of
 * them (1 or more), all of them for a negative `maximum`; 0 is refused.
 * Blocks until the helper has ended; *list is set on success only. */
ZELVIK_API int zelvik_list_printers(const zelvik_helper *helper, int maximum, zelvik_printer_list **list,
                                    zelvik_error **error);
/* The number of printers listed. Any thread. */
ZELVIK_API size_t zelvik_printer_list_count(const zelvik_printer_list *list);
/* A listed printer's model name, serial number and device URI (the name the
 * other commands take; compare it whole, never take it apart). NULL for an
 * index out of range. Owned by the list. Any thread. */
ZELVIK_API const char *zelvik_printer_list_model(const zelvik_printer_list *list, size_t index);
ZELVIK_API const char *zelvik_printer_list_serial(const zelvik_printer_list *list, size_t index);
ZELVIK_API const char *zelvik_printer_list_uri(const zelvik_printer_list *list, size_t index);
ZELVIK_API void zelvik_printer_list_free(zelvik_printer_list *list);

/* ---------------------------------------------------------------------------
 * Whether a printer can be opened now
 */

/* Sets *active to 1 when the printer is there and can be opened right now,
 * to 0 when it cannot (absent, or held by another program). Blocks until the
 * helper has ended. */
ZELVIK_API int zelvik_is_machine_active(const zelvik_helper *helper, const char *device_uri, int *active,
                                        zelvik_error **error);

/* ---------------------------------------------------------------------------
 * PJL answers, read by block
 *
 * A printer answers each question with a block: a line "@PJL" and the
 * question's words ("@PJL INFO STATUS"), the lines of the answer, and a form
 * feed. One answer may hold several blocks, and blocks the printer sends on
 * its own ("@PJL USTATUS DEVICE") may come before the one asked for, so a
 * value is read from the block of its own question:
 *
 *     const char *display = zelvik_pjl_answer_value(answer, "INFO STATUS", "DISPLAY");
 *
 * An answer handle does not change once made: any thread, several at once.
 * Blocks and lines are numbered from 0. A text holding a NUL byte reads as
 * cut there; zelvik_pjl_answer_bytes() has every byte.
 */
typedef struct zelvik_pjl_answer zelvik_pjl_answer;

/* Reads `size` bytes of a printer's answer into blocks (the bytes are
 * copied). A block starts at a line that begins with "@PJL" and ends at a
 * form feed, or, cut short, at the next "@PJL" line or the end; lines may
 * end in CR LF or LF; text outside any block is passed over. */
ZELVIK_API int zelvik_pjl_answer_new(const void *bytes, size_t size, zelvik_pjl_answer **answer);
/* The answer's bytes as they came, with their count in *size (when `size`
 * is not NULL); a NUL follows the last byte. */
ZELVIK_API const char *zelvik_pjl_answer_bytes(const zelvik_pjl_answer *answer, size_t *size);
ZELVIK_API size_t zelvik_pjl_answer_block_count(const zelvik_pjl_answer *answer);
/* Sets *block to the first complete block that answers `question`, a PJL
 * command with or without "@PJL" ("INFO STATUS", "@PJL ECHO 42"): command
 * words compared without regard to case, an ECHO's text exactly; blocks of
 * other questions and blocks the printer sent on its own are passed over.
 * ZELVIK_ERROR_NOT_FOUND when none does, or the command is one a printer does
 * not answer ("SET", "ENTER"). */
ZELVIK_API int zelvik_pjl_answer_find(const zelvik_pjl_answer *answer, const char *question, size_t *block);
/* The value of the first KEY=value line of `key` (compared without regard to
 * case) in the block that answers `question`; NULL when there is none. */
ZELVIK_API const char *zelvik_pjl_answer_value(const zelvik_pjl_answer *answer, const char *question, const char *key);

/* A block's header: the words after "@PJL", one blank between them ("INFO
 * STATUS", "USTATUS DEVICE", "ECHO 42"). NULL for an index out of range. */
ZELVIK_API const char *zelvik_pjl_block_header(const zelvik_pjl_answer *answer, size_t block);
/* 1 when the block was ended by its form feed; 0 when the answer was cut
 * short inside it (or the index is out of range). */
ZELVIK_API int zelvik_pjl_block_complete(const zelvik_pjl_answer *answer, size_t block);
/* The number of lines after the "@PJL" line (empty lines left out). */
ZELVIK_API size_t zelvik_pjl_block_line_count(const zelvik_pjl_answer *answer, size_t block);
/* The block's first KEY=value line of `key` (compared without regard to
 * case), its value; NULL when there is none. */
ZELVIK_API const char *zelvik_pjl_block_value(const zelvik_pjl_answer *answer, size_t block, const char *key);
/* The block's first line without a key ("1234", or the text of "LP-100" in
 * quotes); NULL when there is none. */
ZELVIK_API const char *zelvik_pjl_block_bare_value(const zelvik_pjl_answer *answer, size_t block);

/* One line of a block: its key ("CODE" of CODE=10001; "" for a bare value),
 * its value (without its quotes, blanks around it removed), and whether the
 * value was a quoted string (1) or not (0). NULL, or 0, for an index out of
 * range. */
ZELVIK_API const char *zelvik_pjl_line_key(const zelvik_pjl_answer *answer, size_t block, size_t line);
ZELVIK_API const char *zelvik_pjl_line_value(const zelvik_pjl_answer *answer, size_t block, size_t line);
ZELVIK_API int zelvik_pjl_line_quoted(const zelvik_pjl_answer *answer, size_t block, size_t line);
ZELVIK_API void zelvik_pjl_answer_free(zelvik_pjl_answer *answer);

/* Sends PJL commands and reads the printer's first answer into blocks.
 * `commands` is a NULL-terminated array: each is sent followed by CR LF,
 * "@PJL " put in front where it is missing, the whole wrapped in universal
 * exit language sequences (at most 2047 bytes in all). The helper waits up
 * to `time_limit` seconds (1 or more) for the answer. Blocks until the
 * helper has ended; *answer is set on success only. */
ZELVIK_API int zelvik_send_pjl(const zelvik_helper *helper, const char *device_uri, const char *const *commands,
                               int time_limit, zelvik_pjl_answer **answer, zelvik_error **error);

/* ---------------------------------------------------------------------------
 * Jobs: a command that runs while the caller goes on
 *
 * Every command also runs as a job, which starts at once on a thread of its
 * own. The caller may cancel it, wait for it with or without a time limit,
 * or watch a file descriptor that turns readable when it ends (for an event
 * loop); then it reads the outcome and frees the job.
 */
typedef struct zelvik_job zelvik_job;

/* Called on the job's own thread with each new progress figure, rising, 0 to
 * 100 (a malformed or lower figure from the helper is never passed on). It
 * may call zelvik_job_cancel() and zelvik_job_progress() on its job, never
 * zelvik_job_wait() or zelvik_job_free(). */
typedef void (*zelvik_progress_fn)(int percent, void *user_data);

/* Lists the printers as a job (as zelvik_list_printers() does); the list
 * is zelvik_job_printers(). */
ZELVIK_API int zelvik_job_start_list(const zelvik_helper *helper, int maximum, zelvik_job **job, zelvik_error **error);
/* Tells whether a printer can be opened now, as a job (as
 * zelvik_is_machine_active() does); the answer is zelvik_job_active(). */
ZELVIK_API int zelvik_job_start_active(const zelvik_helper *helper, const char *device_uri, zelvik_job **job,
                                       zelvik_error **error);
/* Streams a print file (any size) to a printer in 2048-byte chunks.
 * `on_progress` may be NULL; `user_data` is handed to it as it is. A file
 * that cannot be sent fails the job, not this call, with
 * ZELVIK_ERROR_FILE_UNUSABLE. *job is set on success only. */
ZELVIK_API int zelvik_job_start_print(const zelvik_helper *helper, const char *device_uri, const char *file,
                                      zelvik_progress_fn on_progress, void *user_data, zelvik_job **job,
                                      zelvik_error **error);
/* A PJL query as a job: the commands as zelvik_send_pjl() sends them. */
ZELVIK_API int zelvik_job_start_pjl(const zelvik_helper *helper, const char *device_uri, const char *const *commands,
                                    int time_limit, zelvik_job **job, zelvik_error **error);
/* A PJL query of `size` bytes sent as they are (at most 2047). */
ZELVIK_API int zelvik_job_start_pjl_bytes(const zelvik_helper *helper, const char *device_uri, const void *bytes,
                                          size_t size, int time_limit, zelvik_job **job, zelvik_error **error);

/* Asks the helper to stop; the job then ends at the helper's next cancel
 * point (between two chunks of a print, between two reads of a query) with
 * ZELVIK_OK and zelvik_job_cancelled() 1. A listing or an active test, which
 * have no cancel point, end the helper (SIGTERM), which closes the printer
 * within a second. A cancel after the end, or a second one, does nothing. Any thread, and async-signal-safe: it may be
 * called from a signal handler (it stores an atomic flag and writes an
 * eventfd; it takes no lock and allocates nothing). NULL does nothing. */
ZELVIK_API void zelvik_job_cancel(zelvik_job *job);
/* Waits until the job has ended or `timeout_ms` milliseconds have passed (a
 * negative `timeout_ms` waits without limit, 0 only looks), and returns the
 * job's result: ZELVIK_OK, a failure code (the error in zelvik_job_error()),
 * or ZELVIK_ERROR_STILL_RUNNING when the time passed first. The same result
 * on every call after the end. Any thread, several at once. */
ZELVIK_API int zelvik_job_wait(zelvik_job *job, int timeout_ms);
/* A file descriptor that polls readable (POLLIN) once the job has ended, and
 * stays so: for poll(), select() or an event loop. Owned by the job: do not
 * read, write or close it. Any thread. */
ZELVIK_API int zelvik_job_fd(const zelvik_job *job);
/* The last progress figure of a print, 0 to 100; -1 before the first (and
 * for a query). Any thread, at any time. */
ZELVIK_API int zelvik_job_progress(const zelvik_job *job);

/* After the end (zelvik_job_wait() returned other than
 * ZELVIK_ERROR_STILL_RUNNING), any thread: */

/* 1 when a cancel stopped the job before its end; 0 when it ran to its end
 * (a cancel that came when the last byte was already sent leaves a complete
 * job) or it is still running. */
ZELVIK_API int zelvik_job_cancelled(const zelvik_job *job);
/* What made the job fail; NULL when it did not, or is still running. Owned
 * by the job: do not free it. */
ZELVIK_API const zelvik_error *zelvik_job_error(const zelvik_job *job);
/* A query's answer bytes as the printer sent them (its first answer, at most
 * 3072 bytes), their count in *size when `size` is not NULL, a NUL after the
 * last; NULL for a print, a failed or cancelled query, or a running job.
 * Read them by block with zelvik_pjl_answer_new(). Owned by the job. */
ZELVIK_API const char *zelvik_job_answer(const zelvik_job *job, size_t *size);
/* A listing's printers; NULL for another job, a failed or cancelled
 * listing, or a running job. Owned by the job: do not free it. */
ZELVIK_API const zelvik_printer_list *zelvik_job_printers(const zelvik_job *job);
/* An active test's answer: 1 when the printer could be opened, 0 when it
 * could not; -1 for another job, a failed or cancelled test, or a running
 * job. */
ZELVIK_API int zelvik_job_active(const zelvik_job *job);
/* Frees a job. A job still running is cancelled and waited for first. NULL
 * does nothing. Never from the job's own progress callback. */
ZELVIK_API void zelvik_job_free(zelvik_job *job);

/* ---------------------------------------------------------------------------
 * Printers coming and going
 *
 * A watch lists the printers when it starts and again whenever they may have
 * changed, and calls back with the difference, compared by device URI:
 * first the printers of the first listing, then ZELVIK_WATCH_READY, then
 * each printer that goes and each that comes. Real printers are watched through udev (the served
 * vendor's USB devices coming and going; this needs read access to udev's
 * netlink events, which every user has by default), a simulating helper's
 * bus file through inotify. A listing runs once the events have settled
 * (250 ms after the last one); while nothing happens no listing runs and
 * the watch's thread sleeps.
 */
typedef struct zelvik_watch zelvik_watch;
/* One event, valid until the callback that got it returns. */
typedef struct zelvik_watch_event zelvik_watch_event;

/* What an event tells. Kinds may be added in later versions, with values of
 * their own: a callback passes over a kind it does not know. */
enum zelvik_watch_change {
    ZELVIK_PRINTER_ADDED = 1,   /* a printer is there that the last listing did not have */
    ZELVIK_PRINTER_REMOVED = 2, /* a printer of the last listing is gone */
    ZELVIK_LISTING_FAILED = 3,  /* a listing failed; the watch goes on, and the next
                                 * listing is compared with the last that succeeded */
    ZELVIK_WATCH_READY = 4      /* once, right after the first listing's printers (or
                                 * its failure): the printers reported so far are all
                                 * there are now; none means none attached (or none
                                 * known, after a failure), not a listing under way */
};

/* Called on the watch's own thread (which blocks all signals), one event at
 * a time; the first events may come before zelvik_watch_new() has returned.
 * It may call zelvik_watch_stop() and zelvik_watch_free() on its watch. */
typedef void (*zelvik_watch_fn)(const zelvik_watch_event *event, void *user_data);

ZELVIK_API enum zelvik_watch_change zelvik_watch_event_kind(const zelvik_watch_event *event);
/* 1 for what the watch's first successful listing found (the printer was
 * there when the watch began, not plugged in since), for a failure of a
 * listing before that one, and for ZELVIK_WATCH_READY; 0 otherwise. */
ZELVIK_API int zelvik_watch_event_initial(const zelvik_watch_event *event);
/* The printer's model name, serial number and device URI, as the listing
 * named them (for a printer gone: as the last listing did); NULL for an
 * event that is not about a printer. Owned by the event. */
ZELVIK_API const char *zelvik_watch_event_model(const zelvik_watch_event *event);
ZELVIK_API const char *zelvik_watch_event_serial(const zelvik_watch_event *event);
ZELVIK_API const char *zelvik_watch_event_uri(const zelvik_watch_event *event);
/* What made a listing fail; NULL for any other event. Owned by the event. */
ZELVIK_API const zelvik_error *zelvik_watch_event_error(const zelvik_watch_event *event);

/* Starts a watch of `helper`'s printers that calls `on_event` with
 * `user_data`. ZELVIK_ERROR_SETUP when it cannot listen (no udev monitor to
 * be had, the bus file's folder missing). *watch is set on success only. */
ZELVIK_API int zelvik_watch_new(const zelvik_helper *helper, zelvik_watch_fn on_event, void *user_data,
                                zelvik_watch **watch, zelvik_error **error);
/* Ends the watch: a listing under way is cancelled (the helper closes the
 * printer within a second), and once this returns `on_event` is not called
 * again. From within `on_event` it returns at once, and no event follows.
 * Any thread; a second call does nothing. NULL does nothing. */
ZELVIK_API void zelvik_watch_stop(zelvik_watch *watch);
/* Stops the watch as zelvik_watch_stop() does, and frees it. From within its
 * own `on_event` too: the watch's thread then ends once the callback
 * returns. NULL does nothing. */
ZELVIK_API void zelvik_watch_free(zelvik_watch *watch);

#ifdef __cplusplus
}
#endif

#endif /* ZELVIK_ZELVIK_H */
