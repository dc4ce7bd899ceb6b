/*
 * kelvo-bench-modbus-load: Modbus TCP register reads under load, and the
 * libmodbus server they are compared with.
 *
 *   kelvo-bench-modbus-load serve ADDRESS:PORT
 *       libmodbus's own server, serving many connections at once with
 *       select(), as libmodbus's examples do: 1100 input registers.
 *   kelvo-bench-modbus-load read ADDRESS:PORT UNIT START COUNT CLIENTS SECONDS
 *       CLIENTS threads, each with its own connection, read COUNT input
 *       registers from START of UNIT back to back for SECONDS; prints one
 *       JSON line: requests, requests_per_s, p50_us, p99_us, max_us, errors.
 *
 * Loopback addresses only. The server ends on SIGTERM or after 900 s.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <modbus.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

enum { REGISTERS = 1100, MOST_CLIENTS = 256, MOST_SAMPLES = 4000000 };

static char host[64];
static int port;

static int parse_where(const char* where) {
    const char* colon = where ? strchr(where, ':') : NULL;
    if (!colon || (size_t)(colon - where) >= sizeof host) return -1;
    memcpy(host, where, (size_t)(colon - where));
    host[colon - where] = '\0';
    port = atoi(colon + 1);
    struct in_addr address;
    if (inet_pton(AF_INET, host, &address) != 1 || (ntohl(address.s_addr) >> 24) != 127 ||
        port <= 0 || port > 65535) {
        return -1;
    }
    return 0;
}

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int serve(void) {
    alarm(900);
    signal(SIGPIPE, SIG_IGN);
    modbus_t* ctx = modbus_new_tcp(host, port);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 0, REGISTERS);
    if (!ctx || !map) return 1;
    for (int i = 0; i < REGISTERS; ++i) map->tab_input_registers[i] = (uint16_t)(i * 7);
    int listener = modbus_tcp_listen(ctx, MOST_CLIENTS);
    if (listener < 0) {
        fprintf(stderr, "kelvo-bench-modbus-load: cannot listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    printf("kelvo-bench-modbus-load: ready\n");
    fflush(stdout);
    fd_set all;
    FD_ZERO(&all);
    FD_SET(listener, &all);
    int highest = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        fd_set ready = all;
        if (select(highest + 1, &ready, NULL, NULL, NULL) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int fd = 0; fd <= highest; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == listener) {
                const int client = accept(listener, NULL, NULL);
                if (client >= 0 && client < FD_SETSIZE) {
                    FD_SET(client, &all);
                    if (client > highest) highest = client;
                } else if (client >= 0) {
                    close(client);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int n = modbus_receive(ctx, query);
            if (n > 0) {
                modbus_reply(ctx, query, n, map);
            } else if (n < 0) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
    return 0;
}

struct Reader {
    pthread_t thread;
    int unit, start, count;
    double until;
    double* samples; /* seconds per request */
    long most, taken, errors;
};

static void* read_loop(void* arg) {
    struct Reader* r = arg;
    modbus_t* ctx = modbus_new_tcp(host, port);
    uint16_t registers[MODBUS_MAX_READ_REGISTERS];
    if (!ctx || modbus_connect(ctx) < 0) {
        r->errors = 1;
        if (ctx) modbus_free(ctx);
        return NULL;
    }
    modbus_set_slave(ctx, r->unit);
    modbus_set_response_timeout(ctx, 2, 0);
    while (r->taken < r->most) {
        const double begin = now_s();
        if (begin >= r->until) break;
        if (modbus_read_input_registers(ctx, r->start, r->count, registers) != r->count) {
            ++r->errors;
            if (r->errors > 100) break;
            continue;
        }
        r->samples[r->taken++] = now_s() - begin;
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return NULL;
}

static int compare(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static int load(int unit, int start, int count, int clients, double seconds) {
    if (clients < 1 || clients > MOST_CLIENTS || count < 1 || count > MODBUS_MAX_READ_REGISTERS ||
        seconds <= 0 || seconds > 60) {
        fprintf(stderr, "kelvo-bench-modbus-load: bad arguments\n");
        return 2;
    }
    struct Reader readers[MOST_CLIENTS];
    const long each = MOST_SAMPLES / clients;
    double* samples = malloc(sizeof(double) * (size_t)each * (size_t)clients);
    if (!samples) return 1;
    const double begin = now_s();
    for (int i = 0; i < clients; ++i) {
        readers[i] =
            (struct Reader){0, unit, start, count, begin + seconds, samples + i * each, each, 0, 0};
        pthread_create(&readers[i].thread, NULL, read_loop, &readers[i]);
    }
    long total = 0, errors = 0;
    for (int i = 0; i < clients; ++i) {
        pthread_join(readers[i].thread, NULL);
        /* Packed at the front for sorting. */
        memmove(samples + total, readers[i].samples, sizeof(double) * (size_t)readers[i].taken);
        total += readers[i].taken;
        errors += readers[i].errors;
    }
    const double elapsed = now_s() - begin;
    qsort(samples, (size_t)total, sizeof(double), compare);
    const double p50 = total ? samples[total / 2] : 0;
    const double p99 = total ? samples[total * 99 / 100] : 0;
    const double most = total ? samples[total - 1] : 0;
    printf(
        "{\"requests\": %ld, \"requests_per_s\": %.0f, \"p50_us\": %.1f, \"p99_us\": %.1f, "
        "\"max_us\": %.1f, \"errors\": %ld}\n",
        total, total / elapsed, p50 * 1e6, p99 * 1e6, most * 1e6, errors);
    free(samples);
    return total > 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "serve") == 0 && parse_where(argv[2]) == 0) return serve();
    if (argc == 8 && strcmp(argv[1], "read") == 0 && parse_where(argv[2]) == 0) {
        return load(atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), atoi(argv[6]), atof(argv[7]));
    }
    fprintf(stderr,
            "usage: kelvo-bench-modbus-load serve ADDRESS:PORT\n"
            "       kelvo-bench-modbus-load read ADDRESS:PORT UNIT START COUNT CLIENTS SECONDS\n"
            "(loopback addresses only)\n");
    return 2;
}
