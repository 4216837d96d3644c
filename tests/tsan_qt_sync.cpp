// Linked into every program of a ThreadSanitizer build (IMPULZ_SANITIZE=thread). Qt's libraries are not built with
// the sanitizer, so the hand-over that makes a queued signal or a blocking call safe (a lock, a semaphore and a
// wake-up inside QtCore) is invisible to it, and every argument a queued signal carries would read as a race. This
// tells the sanitizer of those hand-overs at the calls into QtCore that start and end them, and nothing else:
// - a signal emitted (QMetaObject::activate) hands over before QtCore publishes its events to the receiving threads;
//   a call queued (QMetaObject::invokeMethodImpl) holds the hand-over's lock until QtCore has published it;
// - every event delivered (QCoreApplication's notify callback) takes over, in whichever thread it is delivered;
// - a QObject's event handler hands over when it is done, before a blocking caller is woken, and the blocking
//   caller takes over when its call returns, before its slot object is destroyed.
// One lock stands for all of them: taking it and letting it go again is a hand-over the sanitizer understands. It
// may hide a race that such a hand-over happens to order, but it never reports one that did not happen. The
// functions defined here stand in front of QtCore's own (found with RTLD_NEXT); the build exports them, so Qt's
// other libraries call them too.

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <dlfcn.h>
#include <pthread.h>

namespace {

pthread_mutex_t handOverLock = PTHREAD_MUTEX_INITIALIZER;

void handOver() {
    pthread_mutex_lock(&handOverLock);
    pthread_mutex_unlock(&handOverLock);
}

template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool onEventDelivery(void**) {
    handOver();
    return false; // the event goes on to its receiver
}

const bool registered = QInternal::registerCallback(QInternal::EventNotifyCallback, onEventDelivery);

} // namespace

void QMetaObject::activate(QObject* sender, const QMetaObject* m, int localSignalIndex, void** argv) {
    using Fn = void (*)(QObject*, const QMetaObject*, int, void**);
    static const auto next = real<Fn>("_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    handOver();
    next(sender, m, localSignalIndex, argv);
}

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                   void* ret) {
    using Fn = bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*);
    static const auto next =
        real<Fn>("_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    // A queued call: QtCore builds the event, posts it and lets go of its reference to the slot object; the receiving
    // thread takes the lock when the event arrives, so it waits until all of that is done. QtCore runs no code of
    // the program inside such a call, so holding the lock cannot block anything that the call waits for.
    const bool queued = type == Qt::QueuedConnection ||
                        (type == Qt::AutoConnection && object && object->thread() != QThread::currentThread());
    if (queued) {
        pthread_mutex_lock(&handOverLock);
        const bool invoked = next(object, slot, type, ret);
        pthread_mutex_unlock(&handOverLock);
        return invoked;
    }
    // A blocking call's slot object is let go by QtCore in this thread once the receiver is done with it; holding a
    // reference of our own moves its destruction behind the hand-over back.
    const bool blocking = type == Qt::BlockingQueuedConnection;
    if (blocking)
        slot->ref();
    handOver();
    const bool invoked = next(object, slot, type, ret);
    handOver();
    if (blocking)
        slot->destroyIfLastRef();
    return invoked;
}

bool QObject::event(QEvent* e) {
    using Fn = bool (*)(QObject*, QEvent*);
    static const auto next = real<Fn>("_ZN7QObject5eventEP6QEvent");
    const bool handled = next(this, e);
    handOver();
    return handled;
}
