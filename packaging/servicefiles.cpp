// Writes the systemd unit and the polkit rule for an installed kestd, from the
// same texts that `kestd --register` writes: the package's copies never drift
// from the registered ones.
//
//   kest_service_files EXECUTABLE UNIT_DIR POLKIT_RULES_DIR

#include "service/ServiceEntry.h"
#include "service/ServiceUnit.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>

namespace {

bool writeFile(const QString &directory, const QString &name, const QString &text)
{
    const QString path = directory + '/' + name;
    QFile file(path);
    if (!QDir().mkpath(directory) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(text.toUtf8()) < 0 || !file.flush()) {
        std::fprintf(stderr, "kest_service_files: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("-- Installing: %s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fputs("usage: kest_service_files EXECUTABLE UNIT_DIR POLKIT_RULES_DIR\n", stderr);
        return 2;
    }
    const QString serviceName = QString::fromLatin1(ServiceEntry::kServiceName);
    const QString unitName = ServiceUnit::unitFileName(serviceName);
    const QString unit = ServiceUnit::unitText(QString::fromLatin1(ServiceEntry::kDisplayName),
                                               QString::fromLocal8Bit(argv[1]));
    const bool ok = writeFile(QString::fromLocal8Bit(argv[2]), unitName, unit)
                    && writeFile(QString::fromLocal8Bit(argv[3]), ServiceUnit::polkitRuleFileName(serviceName),
                                 ServiceUnit::polkitRuleText(unitName));
    return ok ? 0 : 1;
}
