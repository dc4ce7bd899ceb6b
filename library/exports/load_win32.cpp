// The DLL entry point. Under the loader lock it only allocates the library's
// state (attach) or releases it (FreeLibrary): nothing here loads another
// DLL, waits or starts Winsock, which starts with the first socket.
#include <windows.h>

#include "registry/lifetime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
        kelvo::onLibraryLoad();
    }
    // At process exit (reserved not null) the other threads are gone, maybe
    // in the middle of a call: touch nothing, the system releases it all.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) kelvo::onLibraryUnload();
    return TRUE;
}
