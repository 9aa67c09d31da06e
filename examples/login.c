/* SPDX-License-Identifier: MIT */
/* login.c: one whole login through qvrad.h, as a host writes it: a client for one server, a PAP
 * login, each Access-Challenge answered from standard input, the reply's messages and Class.
 *
 * Usage: QVRAD_SECRET=secret login HOST PORT USER [TIMEOUT_SECONDS]
 *   The shared secret comes from the environment (a command line is visible to every user of
 *   the machine). Standard input holds the password on its first line and one answer per
 *   challenge on the lines after it. TIMEOUT_SECONDS is 1 to 300 (default 10); over 30, a wait
 *   for a person (a push approval), the request is sent once (docs/api.md, "Long waits").
 * Exit status, as qvrad-auth's: 0 Access-Accept, 1 Access-Reject, 2 no verified reply (silent
 *   or unresolvable servers, or every TLS server failed), 3 more challenges than the client
 *   takes, 4 an argument refused (nothing sent), 5 the library could not run the exchange,
 *   6 a challenge left unanswered (input ended), 64 bad usage. The Code decides 0 and 1,
 *   never the text: a server may send any Reply-Message with an Access-Reject.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <qvrad.h>

#define LINE_SIZE 256 /* room for the longest password or answer, 128 octets, and more */

/* Wipes a buffer that held a password or an answer; volatile, so the compiler keeps the writes. */
static void wipe(char* buffer, size_t size) {
    volatile char* p = buffer;
    while (size-- > 0) *p++ = 0;
}

/* One line of standard input without its line end: 1, or 0 at its end, or -1 for a line longer
 * than the buffer (the rest of it is read and dropped). */
static int read_line(char* line, size_t size) {
    size_t length;
    if (fgets(line, (int)size, stdin) == NULL) return 0;
    length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        line[--length] = '\0';
        if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
        return 1;
    }
    if (!feof(stdin)) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
        return -1;
    }
    return 1; /* the last line, without a line end */
}

/* Text a server sent, printed as one harmless line: control bytes (a line break, a terminal
 * escape) and the backslash as \xHH, everything else as it came. */
static void print_text(const char* label, const unsigned char* text, size_t length) {
    size_t i;
    printf("%s: ", label);
    for (i = 0; i < length; ++i) {
        if (text[i] < 0x20 || text[i] == 0x7f || text[i] == '\\')
            printf("\\x%02x", text[i]);
        else
            putchar(text[i]);
    }
    putchar('\n');
}

static void print_messages(const qvrad_login* login) {
    size_t i;
    for (i = 0; i < qvrad_login_message_count(login); ++i) {
        const char* message = qvrad_login_message(login, i);
        print_text("Reply-Message", (const unsigned char*)message, strlen(message));
    }
}

/* Class (RFC 2865 section 5.25): what the server wants the NAS to know of this user (a group, a
 * role); its octets as received, not NUL-terminated. */
static void print_class(const qvrad_login* login) {
    size_t i;
    for (i = 0; i < qvrad_login_attribute_count(login); ++i) {
        uint32_t vendor, type;
        const unsigned char* value;
        size_t length;
        if (qvrad_login_attribute(login, i, &vendor, &type, &value, &length) == QVRAD_OK &&
            vendor == 0 && type == 25)
            print_text("Class", value, length);
    }
}

/* The exit status for a status other than QVRAD_OK. */
static int exit_status(int status) {
    switch (status) {
        case QVRAD_E_TIMEOUT:
        case QVRAD_E_RESOLVE:
        case QVRAD_E_TLS:
            return 2;
        case QVRAD_E_TOO_MANY_CHALLENGES:
            return 3;
        case QVRAD_E_ARGUMENT:
            return 4;
        default:
            return 5;
    }
}

/* A whole number from min to max, or -1. */
static long number(const char* text, long min, long max) {
    char* end;
    long value = strtol(text, &end, 10);
    return (*text != '\0' && *end == '\0' && value >= min && value <= max) ? value : -1;
}

int main(int argc, char** argv) {
    const char* secret = getenv("QVRAD_SECRET");
    long port, timeout = 10;
    qvrad_client* client = NULL;
    qvrad_login* login = NULL;
    char line[LINE_SIZE];
    int status, got, result;

    if (argc < 4 || argc > 5 || (port = number(argv[2], 1, 65535)) < 0 ||
        (argc == 5 && (timeout = number(argv[4], 1, 300)) < 0)) {
        fprintf(stderr, "usage: QVRAD_SECRET=secret %s HOST PORT USER [TIMEOUT_SECONDS]\n",
                argv[0]);
        return 64;
    }
    if (secret == NULL || secret[0] == '\0') {
        fprintf(stderr, "login: set QVRAD_SECRET to the server's shared secret\n");
        return 64;
    }

    /* The client: set up first, on one thread; its first login freezes it, after which any
     * number of threads may log in through it at once. */
    status = qvrad_client_new(&client);
    if (status == QVRAD_OK) status = qvrad_client_add_server(client, argv[1], (int)port, secret);
    if (status == QVRAD_OK)
        status = qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, (int64_t)timeout * 1000);
    /* A person approving a push may take minutes: a copy of the request could start a second
     * push, so it goes out once and the wait is long instead. */
    if (status == QVRAD_OK && timeout > 30)
        status = qvrad_client_set_int(client, QVRAD_OPT_MAX_TRANSMISSIONS, 1);
    if (status != QVRAD_OK) {
        fprintf(stderr, "login: %s\n", qvrad_strerror(status));
        qvrad_client_free(client); /* NULL when qvrad_client_new failed: does nothing */
        return exit_status(status);
    }

    fprintf(stderr, "Password: ");
    got = read_line(line, sizeof line);
    if (got <= 0) {
        fprintf(stderr, got < 0 ? "login: the password is too long\n" : "login: no password\n");
        qvrad_client_free(client);
        return got < 0 ? 4 : 64;
    }
    status = qvrad_login_pap(client, argv[3], line, &login);
    wipe(line, sizeof line); /* the library kept no copy either */

    /* An Access-Challenge: its Reply-Messages say what to answer; the answer goes back, with the
     * challenge's State, to the server that challenged and to no other. */
    while (status == QVRAD_OK && qvrad_login_code(login) == QVRAD_CODE_CHALLENGE) {
        print_messages(login);
        /* A program reading a terminal turns echo off unless the server says the answer may be
         * shown (termios, SetConsoleMode); this one reads lines and says which it would do. */
        fprintf(stderr, qvrad_login_prompt_echo(login) ? "Answer (shown): " : "Answer (hidden): ");
        fflush(stdout);
        got = read_line(line, sizeof line);
        if (got <= 0) {
            fprintf(stderr, got < 0 ? "\nlogin: the answer is too long\n"
                                    : "\nlogin: the challenge was not answered\n");
            qvrad_login_free(login);
            qvrad_client_free(client);
            return got < 0 ? 4 : 6;
        }
        status = qvrad_login_answer(login, line);
        wipe(line, sizeof line);
    }

    if (status != QVRAD_OK) {
        /* No verified reply: qvrad_login_pap left login NULL, or qvrad_login_answer left it with
         * no reply; freeing either is right. */
        fprintf(stderr, "login: %s\n", qvrad_strerror(status));
        qvrad_login_free(login);
        qvrad_client_free(client);
        return exit_status(status);
    }
    print_messages(login);
    print_class(login);
    result = qvrad_login_code(login) == QVRAD_CODE_ACCEPT ? 0 : 1;
    printf("%s\n", result == 0 ? "Access-Accept" : "Access-Reject");

    /* Every login of a client before the client itself. */
    qvrad_login_free(login);
    qvrad_client_free(client);
    return result;
}
