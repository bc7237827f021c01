#include "application.h"

#include <cstdio>

int main(int argc, char** argv)
{
    try {
        Application app(argc, argv);
        QCoreApplication::exec();
    } catch (const config_error& e) {
        std::fprintf(stderr, "corvel: %s\n", e.what());
        return 1;
    }
    return 0;
}
