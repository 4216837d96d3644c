// Linked into every program of a ThreadSanitizer build (IMPULZ_SANITIZE=thread). Qt's libraries are not built with
// the sanitizer, so the hand-over that makes a queued signal or a blocking call safe (a lock and a wake-up inside
// QtCore) is invisible to it, and every argument a queued signal carries would read as a race. This tells the
// sanitizer of those hand-overs where they cross into other libraries, and nothing else:
// - an event posted to another thread wakes that thread's GLib main context: a release;
// - QtCore's locks, semaphores and wait conditions sleep and wake through the futex system call: the wake is a
//   release, the return from a wait an acquire;
// - every event is delivered through QCoreApplication's notify callback: an acquire.
// One token stands for all of them, which may hide a race that such a hand-over happens to order, but never
// reports one that did not happen.

#include <QCoreApplication>

#include <cstdarg>

#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>

extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}

namespace {

char token;

bool onEventDelivery(void**) {
    __tsan_acquire(&token);
    return false; // the event goes on to its receiver
}

const bool registered = QInternal::registerCallback(QInternal::EventNotifyCallback, onEventDelivery);

} // namespace

extern "C" {

struct _GMainContext;

void g_main_context_wakeup(_GMainContext* context) {
    using Wakeup = void (*)(_GMainContext*);
    static const auto next = reinterpret_cast<Wakeup>(dlsym(RTLD_NEXT, "g_main_context_wakeup"));
    __tsan_release(&token);
    next(context);
}

long syscall(long number, ...) {
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& v : a)
        v = va_arg(args, long);
    va_end(args);
    using Syscall = long (*)(long, ...);
    static const auto next = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    const int op = number == SYS_futex ? int(a[1]) & FUTEX_CMD_MASK : -1;
    if (op == FUTEX_WAKE || op == FUTEX_WAKE_OP || op == FUTEX_WAKE_BITSET || op == FUTEX_REQUEUE ||
        op == FUTEX_CMP_REQUEUE)
        __tsan_release(&token);
    const long result = next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (op == FUTEX_WAIT || op == FUTEX_WAIT_BITSET)
        __tsan_acquire(&token);
    return result;
}

} // extern "C"
