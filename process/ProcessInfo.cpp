#include "process/ProcessInfo.h"

#include <QJsonArray>

#include <cmath>
#include <limits>

QString ProcessInfo::stringValue(const QJsonObject &request, const QString &key)
{
    const QJsonValue value = request.value(key);
    return value.isString() ? value.toString() : QString();
}

QStringList ProcessInfo::stringListValue(const QJsonObject &request, const QString &key)
{
    QStringList list;
    const QJsonValue value = request.value(key);
    if (!value.isArray())
        return list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue &element : array)
        list.append(element.isString() ? element.toString() : QString());
    return list;
}

bool ProcessInfo::boolValue(const QJsonObject &request, const QString &key)
{
    const QJsonValue value = request.value(key);
    return value.isBool() && value.toBool();
}

int ProcessInfo::intValue(const QJsonObject &request, const QString &key, int defaultValue)
{
    const QJsonValue value = request.value(key);
    if (!value.isDouble())
        return defaultValue;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number
        || number < double(std::numeric_limits<int>::min())
        || number > double(std::numeric_limits<int>::max()))
        return defaultValue;
    return int(number);
}

QJsonObject ProcessInfo::objectValue(const QJsonObject &request, const QString &key)
{
    const QJsonValue value = request.value(key);
    return value.isObject() ? value.toObject() : QJsonObject();
}
