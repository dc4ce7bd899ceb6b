/*
 * kelvo-bench-modbus-server: a libmodbus TCP server with 64 coils, the peer of
 * the libmodbus client that the benchmarks time next to the Kelvo library.
 * It serves one connection at a time, as libmodbus's own examples do.
 *
 *   kelvo-bench-modbus-server [--max-seconds N] ADDRESS:PORT   (127.0.0.0/8 only)
 *
 * Prints "kelvo-bench-modbus-server: ready" once listening; ends on SIGTERM or
 * after --max-seconds (default 900).
 */
#include <arpa/inet.h>
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { COILS = 64 };

int main(int argc, char** argv) {
    long maxSeconds = 900;
    const char* where = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--max-seconds") == 0 && i + 1 < argc) {
            maxSeconds = strtol(argv[++i], NULL, 10);
        } else {
            where = argv[i];
        }
    }
    char host[64];
    const char* colon = where ? strchr(where, ':') : NULL;
    if (!colon || (size_t)(colon - where) >= sizeof host) {
        fprintf(stderr, "usage: kelvo-bench-modbus-server [--max-seconds N] ADDRESS:PORT\n");
        return 2;
    }
    memcpy(host, where, (size_t)(colon - where));
    host[colon - where] = '\0';
    const int port = atoi(colon + 1);
    struct in_addr address;
    if (inet_pton(AF_INET, host, &address) != 1 || (ntohl(address.s_addr) >> 24) != 127 ||
        port <= 0 || port > 65535) {
        fprintf(stderr, "kelvo-bench-modbus-server: bad or non-loopback address '%s'\n", where);
        return 2;
    }

    /* Bounded life: SIGALRM's default action ends the process. */
    alarm((unsigned)(maxSeconds > 0 ? maxSeconds : 1));
    signal(SIGPIPE, SIG_IGN);

    modbus_t* ctx = modbus_new_tcp(host, port);
    modbus_mapping_t* map = modbus_mapping_new(COILS, 0, 0, 0);
    if (!ctx || !map) {
        fprintf(stderr, "kelvo-bench-modbus-server: out of memory\n");
        return 1;
    }
    for (int i = 0; i < COILS; ++i) map->tab_bits[i] = (uint8_t)((i * 5) % 3 == 0);
    int listener = modbus_tcp_listen(ctx, 1);
    if (listener < 0) {
        fprintf(stderr, "kelvo-bench-modbus-server: cannot listen on %s: %s\n", where,
                modbus_strerror(errno));
        return 1;
    }
    printf("kelvo-bench-modbus-server: ready\n");
    fflush(stdout);

    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        if (modbus_tcp_accept(ctx, &listener) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (;;) {
            const int n = modbus_receive(ctx, query);
            if (n > 0) {
                if (modbus_reply(ctx, query, n, map) < 0) break;
            } else if (n < 0) {
                break; /* the client went away */
            }
        }
        /* modbus_close closes the client's socket; the listener stays. */
        modbus_close(ctx);
    }
    close(listener);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
