// kestctl: the command-line client of kestd (see Kestctl and `kestctl --help`).

#include "tools/Kestctl.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return Kestctl().run(app.arguments().mid(1));
}
