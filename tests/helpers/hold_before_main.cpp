// SPDX-License-Identifier: MIT
// Preloaded into a program, holds it in an interruptible sleep for 0.4 s
// before its main, as the reading of its pages from a slow file system (FUSE,
// NFS) does.
#include <poll.h>

namespace {

__attribute__((constructor)) void hold_before_main() {
    poll(nullptr, 0, 400);
}

} // namespace
