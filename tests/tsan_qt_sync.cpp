// Linked into every program of a ThreadSanitizer build (IMPULZ_SANITIZE=thread). Qt's libraries are not built with
// the sanitizer, so the hand-over that makes a queued signal or a blocking call safe (a lock, a semaphore and a
// wake-up inside QtCore) is invisible to it, and every argument a queued signal carries would read as a race. This
// tells the sanitizer of those hand-overs at the calls into QtCore that start and end them, and nothing else:
// - a signal emitted (QMetaObject::activate) or a call queued (QMetaObject::invokeMethodImpl) hands over before
//   QtCore publishes the event to the receiving thread;
// - every event delivered (QCoreApplication's notify callback) takes over, in whichever thread it is delivered;
// - a QObject's event handler hands over when it is done, before a blocking caller is woken, and the blocking
//   caller takes over when its call returns.
// One lock stands for all of them: taking it and letting it go again is a hand-over the sanitizer understands. It
// may hide a race that such a hand-over happens to order, but it never reports one that did not happen. The
// functions defined here stand in front of QtCore's own (found with RTLD_NEXT); the build exports them, so Qt's
// other libraries call them too.

#include <QCoreApplication>
#include <QMetaObject>

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
    handOver();
    const bool invoked = next(object, slot, type, ret);
    handOver();
    return invoked;
}

bool QObject::event(QEvent* e) {
    using Fn = bool (*)(QObject*, QEvent*);
    static const auto next = real<Fn>("_ZN7QObject5eventEP6QEvent");
    const bool handled = next(this, e);
    handOver();
    return handled;
}
