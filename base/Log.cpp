#include "base/Log.h"

#include <QDebug>

void Log::write(Level level, const std::string &line)
{
    const QString text = QString::fromStdString(line);
    if (level == Level::Debug)
        qDebug().noquote() << text;
    else if (level == Level::Info)
        qInfo().noquote() << text;
    else if (level == Level::Warning)
        qWarning().noquote() << text;
    else
        qCritical().noquote() << text;
}
