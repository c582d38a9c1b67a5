#pragma once
// Helpers for tests that drive Qt objects on the test's own thread.

#include <QCoreApplication>

#include <functional>

namespace QtTestSupport {

// The process's application object, made on first use.
QCoreApplication *application();

// Processes events until done() holds or the time-out passes; done()'s last value.
bool spinUntil(const std::function<bool()> &done, int timeoutMs = 3000);

} // namespace QtTestSupport
