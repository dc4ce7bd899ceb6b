// Creates the library's state when the shared object is loaded and destroys
// it when it is unloaded, as DllMain does on Windows.
#include "registry/lifetime.h"

namespace {
[[gnu::constructor]] void libraryLoaded() {
    kelvo::onLibraryLoad();
}
[[gnu::destructor]] void libraryUnloaded() {
    kelvo::onLibraryUnload();
}
}  // namespace
