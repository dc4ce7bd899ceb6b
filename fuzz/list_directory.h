// A directory of the fuzzer's own for the device-list file: WINDIR points at
// it, so the library reads and the fuzzer writes only there.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelvofuzz {

inline std::string& ListDirectory() {
    static std::string path;
    return path;
}

// Where the library looks for its device list.
inline std::string ListPath() {
    return ListDirectory() + "/Kelvo.ini";
}

// Makes the directory under /tmp and points WINDIR at it; it goes, with its
// file, when the process ends. Exits the process if it cannot be made.
inline void UsePrivateListDirectory() {
    char dir[] = "/tmp/kelvo-fuzz.XXXXXX";
    if (!::mkdtemp(dir)) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    ListDirectory() = dir;
    ::setenv("WINDIR", dir, 1);
    std::atexit([] {
        std::remove(ListPath().c_str());
        ::rmdir(ListDirectory().c_str());
    });
}

}  // namespace kelvofuzz
