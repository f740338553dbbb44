// ubusd-lite [-s SOCKET]: a small ubus broker for host runs and tests.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "lib/ubus/client.h"
#include "tools/ubusd-lite/broker.h"

int main(int argc, char** argv)
{
    std::string path = ubus::default_socket;
    int opt;
    while ((opt = ::getopt(argc, argv, "s:h")) != -1) {
        if (opt == 's') {
            path = optarg;
        } else {
            std::fprintf(stderr, "Usage: %s [-s SOCKET]\n", argv[0]);
            return opt == 'h' ? 0 : 1;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    ubusd::broker b;
    if (!ubusd::listen_on(b, path)) {
        std::perror(("ubusd-lite: " + path).c_str());
        return 1;
    }
    ubusd::serve(b, stop);
    return 0;
}
