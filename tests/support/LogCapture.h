#pragma once
// Collects the lines logged through Qt's message handler while it lives, so
// tests can check the texts a component logs. One at a time per process.

#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>
#include <vector>

class LogCapture {
public:
    LogCapture() { m_previous = qInstallMessageHandler(&LogCapture::handler); }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        std::lock_guard lock(mutex());
        lines().clear();
    }

    // Lines containing text.
    int count(const std::string &text) const
    {
        std::lock_guard lock(mutex());
        int n = 0;
        for (const auto &line : lines())
            if (line.find(text) != std::string::npos)
                ++n;
        return n;
    }
    bool contains(const std::string &text) const { return count(text) > 0; }
    std::string all() const
    {
        std::lock_guard lock(mutex());
        std::string out;
        for (const auto &line : lines())
            out += line + "\n";
        return out;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        std::lock_guard lock(mutex());
        lines().push_back(message.toStdString());
    }
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &lines()
    {
        static std::vector<std::string> l;
        return l;
    }

    QtMessageHandler m_previous = nullptr;
};
