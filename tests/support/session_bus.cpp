// Linked into the test programs that put windows on a display: before main, a program started
// without a session bus runs itself again under dbus-run-session, so its windows (and the
// programs it starts) have a session bus of their own, as on every desktop. Without one, Qt's
// accessibility bridge and libdbus would start one through X11 autolaunch, left behind after the
// test; and the window's logout request to the desktop portal needs the session bus to exist.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct UnderSessionBus {
    UnderSessionBus() {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) return;
        constexpr char kRunner[] = "/usr/bin/dbus-run-session";
        if (::access(kRunner, X_OK) != 0) {
            std::fprintf(stderr, "note: %s is missing (package dbus-bin): no session bus\n",
                         kRunner);
            return;
        }
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return;
        self[n] = 0;
        std::vector<std::string> args{kRunner, "--", self};
        std::size_t start = all.find('\0');  // argv[0] is replaced by the program's path
        while (start != std::string::npos && start + 1 < all.size()) {
            const std::size_t end = all.find('\0', start + 1);
            args.push_back(all.substr(start + 1, end - start - 1));
            start = end;
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(kRunner, argv.data());
        std::perror("dbus-run-session");  // carry on without a session bus
    }
} underSessionBus;

}  // namespace
