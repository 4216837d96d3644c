// Linked into every program of a ThreadSanitizer build (IMPULZ_SANITIZE=thread). Qt's libraries are not built with
// the sanitizer, so the hand-overs that make a queued signal or a queued call safe (QtCore's post-event queue, its
// locks, semaphores and reference counts) are invisible to it: every slot that reads what the emitting thread wrote
// before the emit would read as a race. This tells the sanitizer of each hand-over, keyed by the one event or the
// one call that carries it, and of nothing else:
// - a queued signal or a queued call travels in a meta-call event that QtCore allocates in the posting thread, after
//   everything the poster did before the emit or the call, and before it posts it. The sanitizer's allocation hook
//   releases on the address of every new block of a meta-call event's size; QtCore's event-delivery callback
//   acquires on the address of each event it delivers, in the receiving thread. Blocks of that size that
//   are not events are released on too, which costs a little time and orders nothing: only a delivered event is
//   acquired on, and a block's releases go with it when it is freed. The event's size is learnt once at start-up,
//   from a call posted to a probe and removed again.
// - the slot object of a call made with QMetaObject::invokeMethod, or of a connection, runs inside a slot object of
//   ours. It is released on when it is handed to QtCore and acquired on before each call: a connection made in one
//   thread may be called in another, QtCore publishing it under locks of its own. It releases on a second address
//   of its own when the slot returns, and acquires on that before it lets the slot go: QtCore lets go of a slot
//   object (its reference counts are atomics of its own) in whichever thread comes last, the receiver's after the
//   call, the caller's, or the one that disconnects. For a blocking call (Qt::BlockingQueuedConnection) that is the
//   caller, once it is woken: what the slot wrote is then the caller's to read. That is why
//   QMetaObject::invokeMethodImpl and QObject::connectImpl, which the program's invokeMethod and connect templates
//   call, are defined here in front of QtCore's own (found with RTLD_NEXT).
// - a task started on a QThreadPool (QtConcurrent::run) is queued inside QtCore for a thread of the pool: it runs
//   inside a task of ours, released on before QtCore queues it and acquired on when the pool's thread runs it
//   (QThreadPool::start is defined here too).
// - QProcess starts a program with a clone() that shares the parent's memory until the exec (vfork's way). The
//   sanitizer's clone interceptor treats every clone as a fork and, in the child, turns off all checking and all
//   hand-overs of the calling thread "until the exec"; sharing the memory, the child turns them off in the parent's
//   thread, for good, and for every thread started afterwards. clone() is defined here too: a clone that shares the
//   memory goes straight to the C library's, which the child only uses to exec (QtCore's own calls into the
//   sanitizer's interceptors are passed through, tests/tsan.supp).
// A queued argument is copied by QtCore itself for Qt's own types; an argument type of the program's own would be
// copied by the program's code after the release, and need a hand-over of its own.

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QRunnable>
#include <QThreadPool>

#include <sanitizer/tsan_interface.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <sched.h>

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {

size_t metaCallEventSize = 0;

// Start-up only, in the thread that learns the event's size: the blocks allocated while the probe's call is posted,
// and the last of them freed while it is removed.
constexpr int MaxProbeBlocks = 64;
thread_local bool probing = false;
thread_local const volatile void* probeBlocks[MaxProbeBlocks];
thread_local size_t probeSizes[MaxProbeBlocks];
thread_local int probeCount = 0;
thread_local const volatile void* lastProbeFree = nullptr;

void onAllocation(const volatile void* block, size_t size) {
    if (size == metaCallEventSize)
        __tsan_release(const_cast<void*>(block));
    else if (probing && probeCount < MaxProbeBlocks) {
        probeBlocks[probeCount] = block;
        probeSizes[probeCount++] = size;
    }
}

void onFree(const volatile void* block) {
    if (probing)
        lastProbeFree = block;
}

// A queued call posted to a probe and removed again: QtCore frees the call's slot object in the event's destructor,
// and the event's own block after it, last.
size_t learnMetaCallEventSize() {
    QObject probe;
    probing = true;
    QMetaObject::invokeMethod(
        &probe, [] {}, Qt::QueuedConnection);
    const int posted = probeCount;
    QCoreApplication::removePostedEvents(&probe, QEvent::MetaCall);
    probing = false;
    for (int i = 0; i < posted; ++i) {
        if (probeBlocks[i] == lastProbeFree && probeSizes[i] >= sizeof(QEvent))
            return probeSizes[i];
    }
    std::fprintf(stderr, "tsan_qt_sync: the size of QtCore's meta-call event was not found\n");
    std::abort();
}

// Before the event is as much as looked at: another thread may have allocated it. Only blocks of a meta-call event's
// size were released on, so any other event acquires nothing.
bool onEventDelivery(void** data) {
    __tsan_acquire(data[1]);
    return false; // the event goes on to its receiver
}

bool install() {
    __sanitizer_install_malloc_and_free_hooks(onAllocation, onFree);
    metaCallEventSize = learnMetaCallEventSize();
    return QInternal::registerCallback(QInternal::EventNotifyCallback, onEventDelivery);
}

const bool installed = install();

// Runs a call's or a connection's slot: what the thread that made it wrote before is acquired (on m_slot's address)
// before each call, and what each call wrote is released (on the object's own address) for the thread that lets
// the slot go.
class HandBack : public QtPrivate::QSlotObjectBase {
public:
    // Hands the slot over, for QtCore to take.
    static QSlotObjectBase* wrap(QSlotObjectBase* slot) {
        auto* handBack = new HandBack(slot);
        __tsan_release(&handBack->m_slot);
        return handBack;
    }

private:
    explicit HandBack(QtPrivate::QSlotObjectBase* slot) : QSlotObjectBase(&impl), m_slot(slot) {}
    static void impl(int which, QSlotObjectBase* self, QObject* receiver, void** args, bool* ret) {
        auto* handBack = static_cast<HandBack*>(self);
        switch (which) {
        case Call:
            __tsan_acquire(&handBack->m_slot);
            handBack->m_slot->call(receiver, args);
            __tsan_release(handBack);
            break;
        case Destroy:
            __tsan_acquire(handBack);
            handBack->m_slot->destroyIfLastRef();
            delete handBack;
            break;
        case Compare:
            *ret = handBack->m_slot->compare(args);
            break;
        default:
            break;
        }
    }
    QtPrivate::QSlotObjectBase* m_slot;
};

// Runs a pool's task once the thread that started it has handed it over.
class TaskHandOver : public QRunnable {
public:
    explicit TaskHandOver(QRunnable* task) : m_task(task) {}
    ~TaskHandOver() override {
        if (!m_ran && m_task->autoDelete()) // the pool was cleared before the task ran
            delete m_task;
    }
    void run() override {
        __tsan_acquire(this);
        m_ran = true;
        const bool autoDelete = m_task->autoDelete();
        m_task->run();
        if (autoDelete)
            delete m_task;
    }

private:
    QRunnable* m_task;
    bool m_ran = false;
};

} // namespace

void QThreadPool::start(QRunnable* runnable, int priority) {
    using Fn = void (*)(QThreadPool*, QRunnable*, int);
    static const auto next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN11QThreadPool5startEP9QRunnablei"));
    if (!runnable)
        return next(this, runnable, priority);
    auto* task = new TaskHandOver(runnable);
    __tsan_release(task);
    next(this, task, priority);
}

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                   void* ret) {
    using Fn = bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*);
    static const auto next = reinterpret_cast<Fn>(
        dlsym(RTLD_NEXT,
              "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv"));
    // QtCore takes over the reference it is given, as it would the caller's slot object's.
    return next(object, HandBack::wrap(slot), type, ret);
}

QMetaObject::Connection QObject::connectImpl(const QObject* sender, void** signal, const QObject* receiver,
                                             void** slotPtr, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                             const int* types, const QMetaObject* senderMetaObject) {
    using Fn = QMetaObject::Connection (*)(const QObject*, void**, const QObject*, void**, QtPrivate::QSlotObjectBase*,
                                           Qt::ConnectionType, const int*, const QMetaObject*);
    static const auto next = reinterpret_cast<Fn>(dlsym(
        RTLD_NEXT, "_ZN7QObject11connectImplEPKS_PPvS1_S3_PN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPKiPK11"
                   "QMetaObject"));
    return next(sender, signal, receiver, slotPtr, slot ? HandBack::wrap(slot) : slot, type, types, senderMetaObject);
}

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) noexcept {
    va_list rest;
    va_start(rest, arg);
    auto* parentTid = va_arg(rest, pid_t*);
    void* tls = va_arg(rest, void*);
    auto* childTid = va_arg(rest, pid_t*);
    va_end(rest);
    using Fn = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto sanitizer = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clone"));
    static const auto cLibrary = reinterpret_cast<Fn>(dlsym(dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD), "clone"));
    const bool sharesMemory = (flags & CLONE_VM) && !(flags & CLONE_THREAD);
    return (sharesMemory ? cLibrary : sanitizer)(fn, stack, flags, arg, parentTid, tls, childTid);
}
