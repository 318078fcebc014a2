/* SPDX-License-Identifier: Apache-2.0 */
/* A front end in C: cc -std=c99 frontend.c $(pkg-config --cflags --libs zelvik-client)
 *   ./a.out BUS.xml PRINT-FILE    (a bus of virtual printers: runs zelvik-sim)
 *   ./a.out "" PRINT-FILE         (real printers: runs the installed zelvik)
 * It lists the printers, asks the first for its model, prints the file to it
 * with its progress (Ctrl-C cancels), and tells whether it is free now. */
#define _POSIX_C_SOURCE 200809L

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <zelvik/zelvik.h>

static zelvik_job *printing;

static void stop(int number) {
    (void)number;
    zelvik_job_cancel(printing); /* async-signal-safe */
}

static void show(int percent, void *data) {
    (void)data;
    printf("%d%%\n", percent);
}

static int failed(const char *what, const zelvik_error *error) {
    fprintf(stderr, "%s: %s (helper code %d)\n", what, zelvik_error_message(error), zelvik_error_helper_code(error));
    return 1;
}

int main(int argc, char **argv) {
    const char *query[] = {"INFO ID", NULL};
    zelvik_helper *helper = NULL;
    zelvik_printer_list *list = NULL;
    zelvik_pjl_answer *answer = NULL;
    zelvik_error *error = NULL;
    struct sigaction action;
    char uri[1024];
    int active = 0, result;

    if (argc != 3) return 2;
    result = argv[1][0] != '\0' ? zelvik_helper_new_simulated(argv[1], NULL, &helper)
                                : zelvik_helper_new_installed(&helper);
    if (result != ZELVIK_OK) return 1;

    if (zelvik_list_printers(helper, -1, &list, &error) != ZELVIK_OK) return failed("list", error);
    if (zelvik_printer_list_count(list) == 0) return fprintf(stderr, "no printers found\n"), 1;
    snprintf(uri, sizeof uri, "%s", zelvik_printer_list_uri(list, 0));
    zelvik_printer_list_free(list);

    if (zelvik_send_pjl(helper, uri, query, 5, &answer, NULL) == ZELVIK_OK) {
        size_t block;
        if (zelvik_pjl_answer_find(answer, "INFO ID", &block) == ZELVIK_OK) {
            printf("%s: %s\n", uri, zelvik_pjl_block_bare_value(answer, block));
        }
        zelvik_pjl_answer_free(answer);
    }

    if (zelvik_job_start_print(helper, uri, argv[2], show, NULL, &printing, &error) != ZELVIK_OK) {
        return failed("print", error);
    }
    memset(&action, 0, sizeof action);
    action.sa_handler = stop;
    sigaction(SIGINT, &action, NULL);
    if (zelvik_job_wait(printing, -1) != ZELVIK_OK) return failed("print", zelvik_job_error(printing));
    printf("%s\n", zelvik_job_cancelled(printing) ? "cancelled" : "printed");
    signal(SIGINT, SIG_DFL);
    zelvik_job_free(printing);

    if (zelvik_is_machine_active(helper, uri, &active, &error) != ZELVIK_OK) return failed("active", error);
    printf("active: %s\n", active ? "True" : "False");
    zelvik_helper_free(helper);
    return 0;
}
