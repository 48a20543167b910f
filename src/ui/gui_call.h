// Running a piece of work on the thread of a QObject (the GUI thread for windows) and waiting
// for it: how workers reach the windows. On that thread itself the work runs directly.
//
// The GUI thread must keep serving events while workers run: it never blocks waiting for a
// worker without processing events (see wait_processing_events), or both would wait forever.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <chrono>

namespace pstorian {

template <typename Work>
void run_on_gui(QObject* context, Work&& work) {
  if (QThread::currentThread() == context->thread()) {
    work();
    return;
  }
  // If `context` goes away before the call is served, Qt drops the call and releases the
  // waiting worker.
  QMetaObject::invokeMethod(context, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

// Waits, serving events, until `done()` holds or `timeout` has passed; true if it holds.
template <typename Done>
bool wait_processing_events(Done done, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace pstorian
