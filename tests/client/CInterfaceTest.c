/* SPDX-License-Identifier: Apache-2.0 */
/* The C interface as a C99 program uses it, against zelvik-sim: every call,
 * the errors mapped to their kinds and the helper's codes, a job's progress
 * rising to 100, wait with a time limit and the end descriptor, a cancel
 * from another thread and from a signal handler, and a watch of the
 * printers as the bus file changes. */
#define _POSIX_C_SOURCE 200809L

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <zelvik/zelvik.h>

static int failures;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

#define FAST "usb://Zelvik/Fast?serial=F1"
#define SLOW "usb://Zelvik/Slow?serial=S1"
#define QUIET "usb://Zelvik/Quiet?serial=Q1"
#define GONE "usb://Zelvik/Gone?serial=0"

static char dir[] = "/tmp/zelvik-c-test-XXXXXX";
static char path[4][512];
enum { BUS, PRINT_FILE, SLOW_CAPTURE, RUNTIME };

static void writeFile(const char *name, const char *text, size_t size) {
    FILE *out = fopen(name, "wb");
    if (out == NULL || fwrite(text, 1, size, out) != size || fclose(out) != 0) {
        fprintf(stderr, "cannot write %s: %s\n", name, strerror(errno));
        exit(1);
    }
}

static void makeBus(void) {
    char bus[2048];
    const int length = snprintf(bus, sizeof bus,
                                "<simulatedBus>"
                                "<device><deviceID>MFG:Zelvik;MDL:Fast;</deviceID><serialNumber>F1</serialNumber>"
                                "<pageCount>42</pageCount></device>"
                                "<device><deviceID>MFG:Zelvik;MDL:Slow;</deviceID><serialNumber>S1</serialNumber>"
                                "<acceptBytesPerSecond>400000</acceptBytesPerSecond>"
                                "<captureFile>%s</captureFile></device>"
                                "<device><deviceID>MFG:Zelvik;MDL:Quiet;</deviceID><serialNumber>Q1</serialNumber>"
                                "</device>"
                                "</simulatedBus>",
                                path[SLOW_CAPTURE]);
    writeFile(path[BUS], bus, (size_t)length);
}

/* ---- results, names and helpers */

static void testNamesAndHelpers(const char *program) {
    zelvik_helper *helper = NULL;
    const char *environment[] = {"ZELVIK_SIMULATED_BUS=/nonexistent.xml", NULL};

    CHECK(strcmp(zelvik_result_name(ZELVIK_OK), "ZELVIK_OK") == 0);
    CHECK(strcmp(zelvik_result_name(ZELVIK_ERROR_PRINTER_UNREACHABLE), "ZELVIK_ERROR_PRINTER_UNREACHABLE") == 0);
    CHECK(strcmp(zelvik_result_name(12345), "ZELVIK_ERROR_UNKNOWN") == 0);
    CHECK(strlen(zelvik_version()) >= 5);
    CHECK(zelvik_error_kind(NULL) == ZELVIK_OK);

    CHECK(zelvik_helper_new(NULL, NULL, &helper) == ZELVIK_ERROR_INVALID && helper == NULL);
    CHECK(zelvik_helper_new_simulated(NULL, program, &helper) == ZELVIK_ERROR_INVALID);
    CHECK(zelvik_helper_new(program, environment, &helper) == ZELVIK_OK);
    CHECK(strcmp(zelvik_helper_program(helper), program) == 0);
    zelvik_helper_free(helper);
    CHECK(zelvik_helper_new_installed(&helper) == ZELVIK_OK && zelvik_helper_program(helper)[0] == '/');
    zelvik_helper_free(helper);
    zelvik_helper_free(NULL);
    zelvik_error_free(NULL);
    zelvik_job_free(NULL);
}

/* ---- the blocking calls */

static void expectError(int result, zelvik_error *error, int kind, int helperCode) {
    CHECK(result == kind);
    CHECK(error != NULL);
    if (error == NULL) return;
    CHECK(zelvik_error_kind(error) == kind);
    CHECK(zelvik_error_helper_code(error) == helperCode);
    CHECK(strlen(zelvik_error_message(error)) > 0);
    if (result != kind) fprintf(stderr, "  got %s: %s\n", zelvik_result_name(result), zelvik_error_message(error));
    zelvik_error_free(error);
}

static void testBlockingCalls(const zelvik_helper *helper) {
    zelvik_printer_list *list = NULL;
    zelvik_error *error = NULL;
    int active = -1, result;

    CHECK(zelvik_list_printers(helper, -1, &list, &error) == ZELVIK_OK);
    CHECK(zelvik_printer_list_count(list) == 3);
    CHECK(strcmp(zelvik_printer_list_model(list, 0), "Fast") == 0);
    CHECK(strcmp(zelvik_printer_list_serial(list, 0), "F1") == 0);
    CHECK(strcmp(zelvik_printer_list_uri(list, 1), SLOW) == 0);
    CHECK(zelvik_printer_list_uri(list, 3) == NULL);
    zelvik_printer_list_free(list);
    list = NULL;
    CHECK(zelvik_list_printers(helper, 1, &list, NULL) == ZELVIK_OK && zelvik_printer_list_count(list) == 1);
    zelvik_printer_list_free(list);

    CHECK(zelvik_is_machine_active(helper, FAST, &active, NULL) == ZELVIK_OK && active == 1);
    CHECK(zelvik_is_machine_active(helper, GONE, &active, NULL) == ZELVIK_OK && active == 0);

    error = NULL;
    result = zelvik_is_machine_active(helper, NULL, &active, &error);
    expectError(result, error, ZELVIK_ERROR_INVALID, 0);
}

static void testErrors(const zelvik_helper *helper) {
    const char *query[] = {"INFO ID", NULL};
    zelvik_helper *missing = NULL, *quits = NULL;
    zelvik_printer_list *list = NULL;
    zelvik_job *job = NULL;
    zelvik_error *error = NULL;
    char tooLong[2100];
    int result;

    /* The helper's codes, each its own kind. */
    CHECK(zelvik_job_start_pjl(helper, GONE, query, 1, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_ERROR_PRINTER_UNREACHABLE);
    CHECK(zelvik_error_helper_code(zelvik_job_error(job)) == 7);
    CHECK(strcmp(zelvik_error_reason(zelvik_job_error(job)), "noSuchPrinter") == 0);
    CHECK(strlen(zelvik_error_advice(zelvik_job_error(job))) > 0);
    CHECK(zelvik_job_answer(job, NULL) == NULL);
    zelvik_job_free(job);
    /* Bytes no virtual printer answers. */
    CHECK(zelvik_job_start_pjl_bytes(helper, QUIET, "no question", 11, 1, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_ERROR_TIMED_OUT);
    CHECK(zelvik_error_kind(zelvik_job_error(job)) == ZELVIK_ERROR_TIMED_OUT);
    CHECK(zelvik_error_helper_code(zelvik_job_error(job)) == 8);
    zelvik_job_free(job);
    CHECK(zelvik_job_start_print(helper, FAST, "/nonexistent/job.prn", NULL, NULL, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_ERROR_FILE_UNUSABLE);
    CHECK(zelvik_error_helper_code(zelvik_job_error(job)) == 4);
    zelvik_job_free(job);

    /* Refused before the helper starts: the job fails at once. */
    memset(tooLong, 'x', sizeof tooLong);
    CHECK(zelvik_job_start_pjl_bytes(helper, FAST, tooLong, sizeof tooLong, 5, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_ERROR_INVALID);
    CHECK(strstr(zelvik_error_message(zelvik_job_error(job)), "2047") != NULL);
    CHECK(strcmp(zelvik_error_reason(zelvik_job_error(job)), "none") == 0);
    zelvik_job_free(job);
    result = zelvik_job_start_pjl(helper, FAST, NULL, 5, &job, &error);
    expectError(result, error, ZELVIK_ERROR_INVALID, 0);

    /* The client's own failures. */
    CHECK(zelvik_helper_new("/nonexistent/zelvik", NULL, &missing) == ZELVIK_OK);
    error = NULL;
    result = zelvik_list_printers(missing, -1, &list, &error);
    expectError(result, error, ZELVIK_ERROR_HELPER_NOT_STARTED, 0);
    CHECK(list == NULL);
    zelvik_helper_free(missing);
    CHECK(zelvik_helper_new("/bin/true", NULL, &quits) == ZELVIK_OK);
    error = NULL;
    result = zelvik_list_printers(quits, -1, &list, &error);
    expectError(result, error, ZELVIK_ERROR_NO_STATUS, 0);
    zelvik_helper_free(quits);
}

/* ---- jobs */

struct Progress {
    int calls, last, falling;
};

static void onProgress(int percent, void *data) {
    struct Progress *progress = data;
    if (percent <= progress->last) progress->falling = 1;
    progress->last = percent;
    ++progress->calls;
}

static void testPjlAnswers(const zelvik_helper *helper) {
    static const char sent[] =
        "@PJL USTATUS DEVICE\r\nCODE=40000\r\n\f@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\n\f@PJL INFO ID";
    const char *query[] = {"INFO PAGECOUNT", NULL};
    zelvik_pjl_answer *answer = NULL;
    zelvik_error *error = NULL;
    size_t block = 99, size = 0;
    int result;

    CHECK(zelvik_pjl_answer_new(sent, sizeof sent - 1, &answer) == ZELVIK_OK);
    CHECK(zelvik_pjl_answer_block_count(answer) == 3);
    CHECK(strcmp(zelvik_pjl_answer_value(answer, "@PJL info status", "display"), "Ready") == 0);
    CHECK(zelvik_pjl_answer_find(answer, "INFO STATUS", &block) == ZELVIK_OK && block == 1);
    CHECK(strcmp(zelvik_pjl_block_header(answer, 0), "USTATUS DEVICE") == 0);
    CHECK(zelvik_pjl_block_line_count(answer, 1) == 2);
    CHECK(strcmp(zelvik_pjl_line_key(answer, 1, 1), "DISPLAY") == 0);
    CHECK(strcmp(zelvik_pjl_line_value(answer, 1, 1), "Ready") == 0 && zelvik_pjl_line_quoted(answer, 1, 1) == 1);
    /* Cut short: there, but no answer. */
    CHECK(zelvik_pjl_block_complete(answer, 2) == 0);
    CHECK(zelvik_pjl_answer_find(answer, "INFO ID", &block) == ZELVIK_ERROR_NOT_FOUND);
    CHECK(zelvik_pjl_block_header(answer, 3) == NULL && zelvik_pjl_line_key(answer, 1, 2) == NULL);
    CHECK(zelvik_pjl_answer_bytes(answer, &size) != NULL && size == sizeof sent - 1);
    zelvik_pjl_answer_free(answer);

    answer = NULL;
    CHECK(zelvik_send_pjl(helper, FAST, query, 5, &answer, NULL) == ZELVIK_OK);
    CHECK(zelvik_pjl_answer_find(answer, "INFO PAGECOUNT", &block) == ZELVIK_OK);
    CHECK(strcmp(zelvik_pjl_block_bare_value(answer, block), "42") == 0);
    zelvik_pjl_answer_free(answer);
    /* A time limit of 0 is refused before the helper starts. */
    result = zelvik_send_pjl(helper, FAST, query, 0, &answer, &error);
    expectError(result, error, ZELVIK_ERROR_INVALID, 0);
}

static void testListAndActiveJobs(const zelvik_helper *helper) {
    zelvik_job *job = NULL;
    CHECK(zelvik_job_start_list(helper, -1, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_OK);
    CHECK(zelvik_printer_list_count(zelvik_job_printers(job)) == 3 && zelvik_job_active(job) == -1);
    zelvik_job_free(job);
    CHECK(zelvik_job_start_list(helper, 0, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_ERROR_INVALID && zelvik_job_printers(job) == NULL);
    zelvik_job_free(job);
    CHECK(zelvik_job_start_active(helper, FAST, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_OK && zelvik_job_active(job) == 1);
    zelvik_job_free(job);
}

static void testQuery(const zelvik_helper *helper) {
    const char *query[] = {"INFO PAGECOUNT", NULL};
    static const char expected[] = "@PJL INFO PAGECOUNT\r\n42\r\n\f";
    zelvik_job *job = NULL;
    size_t size = 0;
    const char *answer;

    CHECK(zelvik_job_start_pjl(helper, FAST, query, 5, &job, NULL) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_OK);
    answer = zelvik_job_answer(job, &size);
    CHECK(answer != NULL && size == sizeof expected - 1 && memcmp(answer, expected, size) == 0);
    CHECK(zelvik_job_error(job) == NULL && zelvik_job_cancelled(job) == 0 && zelvik_job_progress(job) == -1);
    zelvik_job_free(job);
}

static void testPrint(const zelvik_helper *helper) {
    struct Progress progress = {0, -1, 0};
    struct pollfd ended;
    zelvik_job *job = NULL;

    CHECK(zelvik_job_start_print(helper, SLOW, path[PRINT_FILE], onProgress, &progress, &job, NULL) == ZELVIK_OK);
    /* About three seconds at the slow printer's pace. */
    CHECK(zelvik_job_wait(job, 100) == ZELVIK_ERROR_STILL_RUNNING);
    CHECK(zelvik_job_error(job) == NULL);
    ended.fd = zelvik_job_fd(job);
    ended.events = POLLIN;
    CHECK(poll(&ended, 1, 0) == 0);
    CHECK(poll(&ended, 1, 30000) == 1);
    CHECK(zelvik_job_wait(job, 0) == ZELVIK_OK);
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_OK);
    CHECK(zelvik_job_cancelled(job) == 0);
    CHECK(zelvik_job_progress(job) == 100);
    CHECK(progress.calls >= 3 && progress.last == 100 && !progress.falling);
    CHECK(zelvik_job_answer(job, NULL) == NULL);
    zelvik_job_free(job);
}

static void *cancelSoon(void *job) {
    const struct timespec pause = {0, 300 * 1000 * 1000};
    nanosleep(&pause, NULL);
    zelvik_job_cancel(job);
    return NULL;
}

static zelvik_job *signalled;
static void onAlarm(int number) {
    (void)number;
    zelvik_job_cancel(signalled);
}

static void expectCancelled(zelvik_job *job) {
    CHECK(zelvik_job_wait(job, -1) == ZELVIK_OK);
    CHECK(zelvik_job_cancelled(job) == 1);
    CHECK(zelvik_job_progress(job) < 100);
    zelvik_job_free(job);
}

static void testCancels(const zelvik_helper *helper) {
    struct sigaction action;
    struct itimerval timer;
    pthread_t thread;
    zelvik_job *job = NULL;

    CHECK(zelvik_job_start_print(helper, SLOW, path[PRINT_FILE], NULL, NULL, &job, NULL) == ZELVIK_OK);
    CHECK(pthread_create(&thread, NULL, cancelSoon, job) == 0);
    expectCancelled(job);
    pthread_join(thread, NULL);

    /* From a signal handler, while this thread waits in the library. */
    memset(&action, 0, sizeof action);
    action.sa_handler = onAlarm;
    sigemptyset(&action.sa_mask);
    CHECK(sigaction(SIGALRM, &action, NULL) == 0);
    CHECK(zelvik_job_start_print(helper, SLOW, path[PRINT_FILE], NULL, NULL, &signalled, NULL) == ZELVIK_OK);
    memset(&timer, 0, sizeof timer);
    timer.it_value.tv_usec = 300 * 1000;
    CHECK(setitimer(ITIMER_REAL, &timer, NULL) == 0);
    expectCancelled(signalled);

    /* Freed while it runs: cancelled and waited for. */
    CHECK(zelvik_job_start_print(helper, SLOW, path[PRINT_FILE], NULL, NULL, &job, NULL) == ZELVIK_OK);
    zelvik_job_free(job);
}

/* ---- a watch of the printers */

struct watchLog {
    pthread_mutex_t mutex;
    pthread_cond_t changed;
    int count;
    char lines[8][200];
    zelvik_watch *freeAtFirst; /* a watch its own callback frees */
};

static void onWatchEvent(const zelvik_watch_event *event, void *data) {
    struct watchLog *log = data;
    char line[200];
    const zelvik_error *error = zelvik_watch_event_error(event);
    switch (zelvik_watch_event_kind(event)) {
        case ZELVIK_PRINTER_ADDED:
        case ZELVIK_PRINTER_REMOVED:
            CHECK(error == NULL && zelvik_watch_event_model(event) != NULL && zelvik_watch_event_serial(event) != NULL);
            snprintf(line, sizeof line, "%c%s%s", zelvik_watch_event_kind(event) == ZELVIK_PRINTER_ADDED ? '+' : '-',
                     zelvik_watch_event_uri(event), zelvik_watch_event_initial(event) ? " (initial)" : "");
            break;
        case ZELVIK_LISTING_FAILED:
            CHECK(error != NULL && zelvik_watch_event_uri(event) == NULL);
            snprintf(line, sizeof line, "failed %s", zelvik_result_name(zelvik_error_kind(error)));
            break;
        case ZELVIK_WATCH_READY:
            CHECK(error == NULL && zelvik_watch_event_uri(event) == NULL && zelvik_watch_event_initial(event));
            snprintf(line, sizeof line, "ready");
            break;
        default: /* a kind of a later version */ return;
    }
    pthread_mutex_lock(&log->mutex);
    if (log->count < 8) strcpy(log->lines[log->count], line);
    ++log->count;
    if (log->freeAtFirst != NULL) zelvik_watch_free(log->freeAtFirst);
    log->freeAtFirst = NULL;
    pthread_cond_broadcast(&log->changed);
    pthread_mutex_unlock(&log->mutex);
}

/* The `count`-th event's line once it came, "" after 20 s without it. */
static const char *eventLine(struct watchLog *log, int count) {
    struct timespec deadline;
    const char *line = "";
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 20;
    pthread_mutex_lock(&log->mutex);
    while (log->count < count && pthread_cond_timedwait(&log->changed, &log->mutex, &deadline) == 0) {
    }
    if (log->count >= count && count <= 8) line = log->lines[count - 1];
    pthread_mutex_unlock(&log->mutex);
    return line;
}

static void replaceBus(const char *bus, const char *text) {
    char part[600];
    snprintf(part, sizeof part, "%s.new", bus);
    writeFile(part, text, strlen(text));
    CHECK(rename(part, bus) == 0);
}

static void testWatch(const char *program) {
    static struct watchLog log = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, {{0}}, NULL};
    const char *one = "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:W;</deviceID><serialNumber>W1</serialNumber>"
                      "</device></simulatedBus>";
    const char *two = "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:W;</deviceID><serialNumber>W1</serialNumber>"
                      "</device><device><deviceID>MFG:Zelvik;MDL:X;</deviceID><serialNumber>X1</serialNumber>"
                      "</device></simulatedBus>";
    char folder[560], bus[580];
    zelvik_helper *helper = NULL, *nowhere = NULL;
    zelvik_watch *watch = NULL;
    zelvik_error *error = NULL;
    const struct timespec settled = {0, 600 * 1000 * 1000}; /* more than the watch waits for events to settle */

    snprintf(folder, sizeof folder, "%s/watched", dir);
    snprintf(bus, sizeof bus, "%s/bus.xml", folder);
    CHECK(mkdir(folder, 0700) == 0);
    replaceBus(bus, one);
    CHECK(zelvik_helper_new_simulated(bus, program, &helper) == ZELVIK_OK);
    CHECK(zelvik_watch_new(helper, NULL, NULL, &watch, NULL) == ZELVIK_ERROR_INVALID && watch == NULL);

    CHECK(zelvik_watch_new(helper, onWatchEvent, &log, &watch, NULL) == ZELVIK_OK);
    CHECK(strcmp(eventLine(&log, 1), "+usb://Zelvik/W?serial=W1 (initial)") == 0);
    CHECK(strcmp(eventLine(&log, 2), "ready") == 0); /* the first listing's printers are all there */
    replaceBus(bus, two);
    CHECK(strcmp(eventLine(&log, 3), "+usb://Zelvik/X?serial=X1") == 0);
    /* A bus file the simulating helper would refuse: the listing fails. */
    replaceBus(bus, "<simulatedBus><device><colour>red</colour></device></simulatedBus>");
    CHECK(strcmp(eventLine(&log, 4), "failed ZELVIK_ERROR_INVALID") == 0);
    replaceBus(bus, one);
    CHECK(strcmp(eventLine(&log, 5), "-usb://Zelvik/X?serial=X1") == 0);
    zelvik_watch_stop(watch);
    zelvik_watch_stop(watch);
    replaceBus(bus, two);
    nanosleep(&settled, NULL);
    pthread_mutex_lock(&log.mutex);
    CHECK(log.count == 5); /* nothing after the stop */
    pthread_mutex_unlock(&log.mutex);
    zelvik_watch_free(watch);

    /* Freed by its own callback, at the first event: no second one. */
    replaceBus(bus, two);
    pthread_mutex_lock(&log.mutex);
    log.count = 0;
    CHECK(zelvik_watch_new(helper, onWatchEvent, &log, &log.freeAtFirst, NULL) == ZELVIK_OK);
    pthread_mutex_unlock(&log.mutex);
    CHECK(strcmp(eventLine(&log, 1), "+usb://Zelvik/W?serial=W1 (initial)") == 0);
    nanosleep(&settled, NULL);
    pthread_mutex_lock(&log.mutex);
    CHECK(log.count == 1);
    pthread_mutex_unlock(&log.mutex);

    /* Nothing to listen to: a bus file in a folder that is not there. */
    snprintf(bus, sizeof bus, "%s/none/bus.xml", dir);
    CHECK(zelvik_helper_new_simulated(bus, program, &nowhere) == ZELVIK_OK);
    CHECK(zelvik_watch_new(nowhere, onWatchEvent, &log, &watch, &error) == ZELVIK_ERROR_SETUP);
    CHECK(zelvik_error_kind(error) == ZELVIK_ERROR_SETUP);
    zelvik_error_free(error);
    zelvik_helper_free(nowhere);
    zelvik_helper_free(helper);
}

static int privateDirectoriesLeft(void) {
    int left = 0;
    struct dirent *entry;
    DIR *runtime = opendir(path[RUNTIME]);
    if (runtime == NULL) return -1;
    while ((entry = readdir(runtime)) != NULL) left += strncmp(entry->d_name, "zelvik-client-", 14) == 0;
    closedir(runtime);
    return left;
}

int main(int argc, char **argv) {
    static char data[1200 * 1024];
    char command[600];
    zelvik_helper *helper = NULL;
    if (argc != 2) {
        fprintf(stderr, "usage: %s ZELVIK-SIM\n", argv[0]);
        return 2;
    }
    if (mkdtemp(dir) == NULL) return 1;
    snprintf(path[BUS], sizeof path[BUS], "%s/bus.xml", dir);
    snprintf(path[PRINT_FILE], sizeof path[PRINT_FILE], "%s/job.prn", dir);
    snprintf(path[SLOW_CAPTURE], sizeof path[SLOW_CAPTURE], "%s/slow.bin", dir);
    snprintf(path[RUNTIME], sizeof path[RUNTIME], "%s/runtime", dir);
    makeBus();
    memset(data, 'z', sizeof data);
    writeFile(path[PRINT_FILE], data, sizeof data);
    /* The private directories go where the test can see them go. */
    if (mkdir(path[RUNTIME], 0700) != 0 || setenv("XDG_RUNTIME_DIR", path[RUNTIME], 1) != 0) return 1;

    testNamesAndHelpers(argv[1]);
    CHECK(zelvik_helper_new_simulated(path[BUS], argv[1], &helper) == ZELVIK_OK);
    testBlockingCalls(helper);
    testErrors(helper);
    testQuery(helper);
    testPjlAnswers(helper);
    testListAndActiveJobs(helper);
    testPrint(helper);
    testCancels(helper);
    zelvik_helper_free(helper);
    testWatch(argv[1]);

    /* Every run took its private directory with it. */
    CHECK(privateDirectoriesLeft() == 0);
    snprintf(command, sizeof command, "rm -rf '%s'", dir);
    if (system(command) != 0) fprintf(stderr, "cannot remove %s\n", dir);
    printf("%s\n", failures == 0 ? "all checks passed" : "checks failed");
    return failures == 0 ? 0 : 1;
}
