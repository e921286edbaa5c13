// SPDX-License-Identifier: MIT
// A process of two threads for the tests: prints the id of its second thread,
// then both threads sleep until a signal ends the process.
#include <cstdio>
#include <pthread.h>
#include <unistd.h>

namespace {

void *second_thread(void * /*unused*/) {
    printf("%d\n", gettid());
    fflush(stdout);
    for (;;) {
        pause();
    }
}

} // namespace

int main() {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, second_thread, nullptr) != 0) {
        return 1;
    }
    for (;;) {
        pause();
    }
}
