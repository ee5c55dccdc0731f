#include "companion/RegistryCompanion.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const velkor::AppBundle bundle = velkor::AppBundle::forExecutableDirectory(QCoreApplication::applicationDirPath(), QDir::homePath());
    return velkor::runRegistryCompanion(QCoreApplication::arguments().mid(1), bundle, out, err);
}
