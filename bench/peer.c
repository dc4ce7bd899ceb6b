/*
 * kelvo-bench-peer: the smallest unit stand-in that answers the two reads the
 * benchmarks time, so that a client's figure is not hidden behind a slow
 * server. One thread, one epoll loop, non-blocking sockets, loopback only.
 *
 *   kelvo-bench-peer [--max-seconds N] ADDRESS[:PORT]...     (port 10001)
 *
 * Requests are 8-byte headers; every other request closes the connection:
 *   11 00 s x n .. .. ..  ->  91 00 s x n 00 00 00, 16 + n bytes in all (n <= 240)
 *   19 00 s x c f .. ..   ->  99 00 s x c f 00 00, 8 + c bytes in all (c <= 248)
 * Prints "kelvo-bench-peer: ready (N addresses)" once listening; ends on
 * SIGINT or SIGTERM, or after --max-seconds (default 900).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum {
    FRAME = 256,
    HEADER = 8,
    DATA_OFFSET = 16,
    MAX_LISTENERS = 64,
    MAX_CONNECTIONS = 256,
    OUT_CAPACITY = 8192,
    DEFAULT_PORT = 10001,
};

typedef struct Connection {
    int fd; /* -1: free slot */
    uint8_t in[HEADER];
    unsigned inLength;
    uint8_t out[OUT_CAPACITY];
    unsigned outStart, outEnd;
    int watchingOut; /* EPOLLOUT in the interest set */
} Connection;

static volatile sig_atomic_t stopping = 0;
static void onSignal(int sig) {
    (void)sig;
    stopping = 1;
}

static int listeners[MAX_LISTENERS];
static int listenerCount = 0;
static Connection connections[MAX_CONNECTIONS];
static uint8_t replyTemplate[FRAME];

/* The bytes after the header: a fixed pattern, the same in every reply. */
static void fillTemplate(void) {
    for (unsigned i = 0; i < FRAME; ++i) replyTemplate[i] = (uint8_t)(i * 7u + 3u);
}

static int parseListen(const char* text, struct sockaddr_in* sa) {
    char host[64];
    unsigned port = DEFAULT_PORT;
    const char* colon = strchr(text, ':');
    size_t hostLength = colon ? (size_t)(colon - text) : strlen(text);
    if (hostLength == 0 || hostLength >= sizeof host) return -1;
    memcpy(host, text, hostLength);
    host[hostLength] = '\0';
    if (colon) {
        char* end = NULL;
        unsigned long p = strtoul(colon + 1, &end, 10);
        if (*end != '\0' || p == 0 || p > 65535) return -1;
        port = (unsigned)p;
    }
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host, &sa->sin_addr) != 1) return -1;
    /* Loopback only: 127.0.0.0/8. */
    if ((ntohl(sa->sin_addr.s_addr) >> 24) != 127) return -1;
    return 0;
}

static Connection* freeSlot(void) {
    for (unsigned i = 0; i < MAX_CONNECTIONS; ++i) {
        if (connections[i].fd < 0) return &connections[i];
    }
    return NULL;
}

static void closeConnection(int ep, Connection* c) {
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);
    close(c->fd);
    c->fd = -1;
}

/* Sends what is queued; 0 when done or waiting for room, -1 on error. */
static int flush(int ep, Connection* c) {
    while (c->outStart < c->outEnd) {
        ssize_t n = send(c->fd, c->out + c->outStart, c->outEnd - c->outStart, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return -1;
        }
        c->outStart += (unsigned)n;
    }
    const int pending = c->outStart < c->outEnd;
    if (!pending) c->outStart = c->outEnd = 0;
    /* Touch the interest set only when it changes: no extra system call in
       the usual case of a reply that fits the socket buffer at once. */
    if (pending == c->watchingOut) return 0;
    c->watchingOut = pending;
    struct epoll_event ev = {.events = EPOLLIN | (pending ? EPOLLOUT : 0u), .data.ptr = c};
    return epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
}

/* Queues the reply to the complete request header in c->in; -1 to close. */
static int answer(Connection* c) {
    const uint8_t* req = c->in;
    unsigned length;
    if (req[0] == 0x11 && req[4] <= FRAME - DATA_OFFSET) {
        length = DATA_OFFSET + req[4];
    } else if (req[0] == 0x19 && req[4] <= FRAME - HEADER) {
        length = HEADER + req[4];
    } else {
        return -1;
    }
    if (OUT_CAPACITY - c->outEnd < length) return -1; /* a client that never reads */
    uint8_t* reply = c->out + c->outEnd;
    memcpy(reply, replyTemplate, length);
    reply[0] = (uint8_t)(req[0] | 0x80);
    reply[1] = 0;
    reply[2] = req[2];
    reply[3] = req[3];
    reply[4] = req[4];
    reply[5] = req[5];
    reply[6] = 0;
    reply[7] = 0;
    c->outEnd += length;
    return 0;
}

static int readRequests(Connection* c) {
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = recv(c->fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return -1;
        }
        if (n == 0) return -1;
        for (ssize_t i = 0; i < n; ++i) {
            c->in[c->inLength++] = buffer[i];
            if (c->inLength == HEADER) {
                c->inLength = 0;
                if (answer(c) < 0) return -1;
            }
        }
        if ((size_t)n < sizeof buffer) return 0;
    }
}

static void acceptAll(int ep, int listener) {
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        Connection* c = freeSlot();
        if (!c) {
            close(fd);
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c->fd = fd;
        c->inLength = 0;
        c->outStart = c->outEnd = 0;
        c->watchingOut = 0;
        struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
            close(fd);
            c->fd = -1;
        }
    }
}

static int isListener(const void* ptr) {
    const int* p = (const int*)ptr;
    return p >= listeners && p < listeners + MAX_LISTENERS;
}

int main(int argc, char** argv) {
    long maxSeconds = 900;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        perror("kelvo-bench-peer: epoll_create1");
        return 1;
    }
    for (unsigned i = 0; i < MAX_CONNECTIONS; ++i) connections[i].fd = -1;
    fillTemplate();

    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--max-seconds") == 0 && i + 1 < argc) {
            maxSeconds = strtol(argv[++i], NULL, 10);
            if (maxSeconds <= 0) maxSeconds = 1;
            continue;
        }
        struct sockaddr_in sa;
        if (parseListen(argv[i], &sa) < 0 || listenerCount == MAX_LISTENERS) {
            fprintf(stderr, "kelvo-bench-peer: bad or non-loopback address '%s'\n", argv[i]);
            return 2;
        }
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
            bind(fd, (const struct sockaddr*)&sa, sizeof sa) < 0 || listen(fd, 64) < 0) {
            fprintf(stderr, "kelvo-bench-peer: cannot listen on %s: %s\n", argv[i],
                    strerror(errno));
            return 1;
        }
        listeners[listenerCount] = fd;
        struct epoll_event ev = {.events = EPOLLIN, .data.ptr = &listeners[listenerCount]};
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        ++listenerCount;
    }
    if (listenerCount == 0) {
        fprintf(stderr, "usage: kelvo-bench-peer [--max-seconds N] ADDRESS[:PORT]...\n");
        return 2;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    printf("kelvo-bench-peer: ready (%d addresses)\n", listenerCount);
    fflush(stdout);

    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    struct epoll_event events[64];
    while (!stopping) {
        int n = epoll_wait(ep, events, 64, 1000);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            void* ptr = events[i].data.ptr;
            if (isListener(ptr)) {
                acceptAll(ep, *(int*)ptr);
                continue;
            }
            Connection* c = (Connection*)ptr;
            if (c->fd < 0) continue;
            int bad = (events[i].events & (EPOLLERR | EPOLLHUP)) && !(events[i].events & EPOLLIN);
            if (!bad && (events[i].events & EPOLLIN)) bad = readRequests(c) < 0;
            if (!bad) bad = flush(ep, c) < 0;
            if (bad) closeConnection(ep, c);
        }
        /* Bounded life: a forgotten peer does not outlive the benchmark run. */
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= maxSeconds) break;
    }
    for (unsigned i = 0; i < MAX_CONNECTIONS; ++i) {
        if (connections[i].fd >= 0) close(connections[i].fd);
    }
    for (int i = 0; i < listenerCount; ++i) close(listeners[i]);
    close(ep);
    return 0;
}
