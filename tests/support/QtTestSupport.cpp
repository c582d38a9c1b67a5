#include "tests/support/QtTestSupport.h"

#include <QElapsedTimer>

namespace QtTestSupport {

QCoreApplication *application()
{
    static int argc = 1;
    static char name[] = "test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *instance = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                     : new QCoreApplication(argc, argv);
    return instance;
}

bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace QtTestSupport
