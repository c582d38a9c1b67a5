#pragma once
// Whether the daemon runs privileged (effective uid 0).

#include <QObject>

class PrivilegeManager : public QObject
{
    Q_OBJECT
public:
    explicit PrivilegeManager(QObject *parent = nullptr);

    // 1 when the daemon runs as root, else 0; read afresh at each call.
    static unsigned privilegeLevel();
    bool elevated() const { return m_elevated; }

signals:
    void elevationChanged(bool elevated);
    void elevationError(const QString &error);

private:
    bool m_elevated;
};
