#include "base/Log.h"

#include <QDebug>

void Log::write(Level level, const std::string &line)
{
    const char *text = line.c_str();
    switch (level) {
    case Level::Debug:
        qDebug().noquote() << text;
        break;
    case Level::Info:
        qInfo().noquote() << text;
        break;
    case Level::Warning:
        qWarning().noquote() << text;
        break;
    case Level::Critical:
        qCritical().noquote() << text;
        break;
    }
}
