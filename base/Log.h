#pragma once
// Log lines from the layers that carry no Qt types: the items of a line are
// joined by single spaces and handed to the daemon's log handler at the given
// level (the default category, as the rest of the tunnel engine logs).

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace Log {
enum class Level : std::uint8_t { Debug, Info, Warning, Critical };

void write(Level level, const std::string &line);

inline void appendItem(std::string &line, std::string_view item) { line += item; }
inline void appendItem(std::string &line, const char *item) { line += item; }
inline void appendItem(std::string &line, const std::string &item) { line += item; }
template <std::integral Number>
void appendItem(std::string &line, Number item)
{
    line += std::to_string(item);
}

template <typename... Items>
std::string line(const Items &...items)
{
    std::string out;
    bool first = true;
    ((out += first ? "" : " ", appendItem(out, items), first = false), ...);
    return out;
}

template <typename... Items> void debug(const Items &...items) { write(Level::Debug, line(items...)); }
template <typename... Items> void info(const Items &...items) { write(Level::Info, line(items...)); }
template <typename... Items> void warning(const Items &...items) { write(Level::Warning, line(items...)); }
template <typename... Items> void critical(const Items &...items) { write(Level::Critical, line(items...)); }
} // namespace Log
