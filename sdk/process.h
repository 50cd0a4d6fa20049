// Clients and os.fork(): a forked child inherits the clients' memory but none of
// their threads (nor the library's), so it must not use or tear them down.
#pragma once

namespace tarnu::process {

// Changes in every child made by fork(). A client remembers the value it was made
// under; a different value means it was inherited.
unsigned generation();
// The library has been used in this process, or in the parent it was forked from.
void noteLibraryUse();
// True in a forked child of a process that had used the library: the library's own
// state (its locks, its thread) is not usable here.
bool libraryInherited();

}  // namespace tarnu::process
