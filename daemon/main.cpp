// fpigate: fault passage indicator gateway, IEC 60870-5-104 outstation.
#include <cstdio>

#include "daemon/run.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return fpigate::run(argc, argv);
}
