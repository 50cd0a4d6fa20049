#include "process.h"

#include <atomic>
#include <mutex>
#include <pthread.h>

namespace tarnu::process {
namespace {

std::atomic<unsigned> forks{0};
std::atomic<bool> libraryUsed{false};
std::atomic<bool> inherited{false};

void inChild() {
    forks.fetch_add(1);
    if (libraryUsed.load()) {
        inherited.store(true);
    }
}

void watchForks() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, inChild); });
}

}  // namespace

unsigned generation() {
    watchForks();
    return forks.load();
}

void noteLibraryUse() {
    watchForks();
    libraryUsed.store(true);
}

bool libraryInherited() { return inherited.load(); }

}  // namespace tarnu::process
