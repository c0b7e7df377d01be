#include "ui/qt_event_pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace noctra {

void QtEventPump::run_until(const std::function<bool()>& done) {
  if (quitting_ || done()) return;
  QTimer tick_timer;
  tick_timer.setTimerType(Qt::PreciseTimer);
  tick_timer.setInterval(kTickMs);
  QObject::connect(&tick_timer, &QTimer::timeout, [this] {
    if (tick_ && !quitting_) tick_();
  });
  tick_timer.start();
  // The wait of an acquisition begins with a tick, so the still trigger
  // presses now and not on the pump's first 50 ms tick.
  if (tick_) tick_();
  // The timer guarantees a wake-up at least every 50 ms, so a closing
  // program or a delivered frame is noticed promptly.
  while (!quitting_ && !done()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

}  // namespace noctra
