#include "support/library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <stdexcept>
#include <string>

#include "support/device_list.h"

namespace kelvotest {
namespace {

#if defined(_WIN32)
constexpr const char* LIBRARY_NAME = "KelvoDLL.dll";
void closeLibrary(void* library) {
    ::FreeLibrary(static_cast<HMODULE>(library));
}
void* openLibrary() {
    return reinterpret_cast<void*>(::LoadLibraryA(LIBRARY_NAME));
}
std::string loadError() {
    return "error " + std::to_string(::GetLastError());
}
// FARPROC goes through void (*)(), which converts to any function pointer.
using Generic = void (*)();
Generic symbol(void* library, const char* name) {
    return reinterpret_cast<Generic>(::GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
constexpr const char* LIBRARY_NAME = "libkelvo.so";
void closeLibrary(void* library) {
    ::dlclose(library);
}
// The library next to the test program, as Windows finds a DLL next to the
// .exe. (A DT_RUNPATH of $ORIGIN would not do: under AddressSanitizer the
// dlopen interceptor, not the program, counts as the caller.)
void* openLibrary() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return nullptr;
    std::string path(self, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + LIBRARY_NAME;
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
std::string loadError() {
    const char* e = ::dlerror();
    return e ? e : "unknown error";
}
void* symbol(void* library, const char* name) {
    return ::dlsym(library, name);
}
#endif

struct Loaded {
    Library functions;
    std::string problem;  // empty when every export was found
};

Loaded load() {
    // The library may read its device list as soon as it is loaded.
    windowsDirectory();
    Loaded l;
    void* library = openLibrary();
    if (!library) {
        l.problem = std::string("cannot load ") + LIBRARY_NAME + ": " + loadError();
        return l;
    }
    std::string missing;
#define KELVOTEST_RESOLVE(name)                                                        \
    l.functions.name =                                                                 \
        reinterpret_cast<decltype(l.functions.name)>(symbol(library, "Kelvo_" #name)); \
    if (!l.functions.name) missing += " Kelvo_" #name;
    KELVOTEST_EXPORTS(KELVOTEST_RESOLVE)
#undef KELVOTEST_RESOLVE
    if (!missing.empty()) l.problem = std::string(LIBRARY_NAME) + " lacks exports:" + missing;
    // The library stays loaded until the process ends, as with a real caller.
    return l;
}

}  // namespace

void* loadLibrary() {
    return openLibrary();
}

void unloadLibrary(void* library) {
    closeLibrary(library);
}

void* findExport(void* library, const char* name) {
    return reinterpret_cast<void*>(symbol(library, name));
}

const Library& lib() {
    static const Loaded loaded = load();
    if (!loaded.problem.empty()) throw std::runtime_error(loaded.problem);
    return loaded.functions;
}

}  // namespace kelvotest
