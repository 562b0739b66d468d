// ThreadSanitizer reads these at start-up, before any environment a test could set.
//
// Debian's Qt and X libraries are not built with ThreadSanitizer, so their own synchronisation
// (atomics inside the libraries) is invisible and their thread pools, event posting and X
// connection locking look racy. Races in our code that reach Qt only through these frames are
// hidden too; the framework's cross-thread paths (posting beeps and message boxes) are few and
// covered by their own tests.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n"
           "race:libQt6XcbQpa.so\n"
           "race:libxcb.so\n"
           // GLib's main-context wake-up descriptor is shared between Qt's D-Bus thread and the
           // GUI thread under xcb; GLib is not instrumented, so its own ordering is not seen.
           "race:libglib-2.0.so\n"
           // With a session bus (the window tests run under dbus-run-session, as on a
           // desktop), Qt's accessibility bridge talks to it through libdbus from Qt's own D-Bus
           // thread while the window thread creates widgets. libdbus is not instrumented, so its
           // internal locking shows as races and lock-order inversions between those two
           // threads. Vantra itself never calls libdbus (its bus client is sd-bus).
           "race:libdbus-1.so\n"
           "deadlock:libdbus-1.so\n"
           "race:libQt6DBus.so\n"
           "deadlock:libxcb.so\n"
           "mutex:libxcb.so\n"
           "called_from_lib:libQt6XcbQpa.so\n";
}
