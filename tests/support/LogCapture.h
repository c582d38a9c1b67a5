#pragma once
// Collects the lines logged through Qt's message handler while it lives, so
// tests can check the texts a component logs. One at a time per process.

#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>
#include <utility>
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

    // Lines containing text (at the given level).
    int count(const std::string &text) const { return countMatching(text, [](QtMsgType) { return true; }); }
    int countAt(QtMsgType type, const std::string &text) const
    {
        return countMatching(text, [type](QtMsgType line) { return line == type; });
    }
    bool contains(const std::string &text) const { return count(text) > 0; }
    std::string all() const
    {
        std::lock_guard lock(mutex());
        std::string out;
        for (const auto &line : lines())
            out += line.second + "\n";
        return out;
    }

private:
    template <typename Level>
    int countMatching(const std::string &text, Level level) const
    {
        std::lock_guard lock(mutex());
        int n = 0;
        for (const auto &[type, line] : lines())
            if (level(type) && line.find(text) != std::string::npos)
                ++n;
        return n;
    }
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        std::lock_guard lock(mutex());
        lines().emplace_back(type, message.toStdString());
    }
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::pair<QtMsgType, std::string>> &lines()
    {
        static std::vector<std::pair<QtMsgType, std::string>> l;
        return l;
    }

    QtMessageHandler m_previous = nullptr;
};
