// How many sockets this process holds, for leak checks.
#pragma once

namespace kelvotest {

// Open socket descriptors of this process, or -1 where that cannot be
// counted (under Wine the sockets live in the wineserver).
int socketsHeld();

}  // namespace kelvotest
