// The DLL entry point: creates the library's state at process attach and
// destroys it at process detach.
#include <windows.h>

#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) kelvo::onLibraryLoad();
    if (reason == DLL_PROCESS_DETACH) kelvo::onLibraryUnload();
    return TRUE;
}
