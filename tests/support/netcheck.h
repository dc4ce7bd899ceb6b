// The private-network guard of every test and tool that can broadcast: they
// run only where the sole network interface is loopback (scripts/netns-run
// makes such a namespace). Plain C++; the macro is for GoogleTest tests.
#pragma once

#include <string>

namespace kelvotest {

// True iff the only network interface is lo, read from /proc/net/dev (under
// Wine through drive Z:). False when that cannot be told.
bool onlyLoopback();

// Adds (present) or removes an IPv4 address of lo with ip(8). False where
// that cannot be done: under Wine, or without ip(8) or the right to change
// the namespace's addresses.
bool setLoopbackAddress(const std::string& address, bool present);

}  // namespace kelvotest

// First line of every test that can broadcast (Kelvo_Initial in a mode other
// than 1): fails the test unless the network is private.
#define KELVO_REQUIRE_PRIVATE_NETWORK()                                                  \
    do {                                                                                 \
        if (!::kelvotest::onlyLoopback()) {                                              \
            GTEST_FAIL() << "this test broadcasts: run it inside scripts/netns-run, in " \
                            "a network namespace whose only interface is lo";            \
        }                                                                                \
    } while (0)
