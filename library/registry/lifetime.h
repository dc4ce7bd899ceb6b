// The registry's life: created when the library is loaded, destroyed when it
// is unloaded. The boundary's load and unload hooks call these; the header
// stands alone so that it can sit beside the system's headers.
#pragma once

namespace kelvo {
void onLibraryLoad();
void onLibraryUnload();
}  // namespace kelvo
