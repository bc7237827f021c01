#include "application.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Before any thread starts, so that every thread inherits the mask and the signals reach the
    // event loop only.
    signal_watch::block_signals();
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVEL_VERSION));
    try {
        Application app(argc, argv);
        // 0 unless a second stop signal cut the stop short.
        return QCoreApplication::exec();
    } catch (const config_error& e) {
        std::fprintf(stderr, "corvel: %s\n", e.what());
        return 1;
    }
}
