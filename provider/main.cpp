// The reference tunnel provider, com.nimomac.qn.sysne, started by nimo-tunneld.

#include "ReferenceProvider.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    nimo::provider::ReferenceProvider provider;
    return app.exec();
}
