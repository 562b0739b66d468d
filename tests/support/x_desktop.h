// A desktop for tests: a private X server with a window manager, and an X connection of the
// test's own through which it acts as the desktop and the user would.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/xvfb.h"

namespace testsupport {

class XDesktop {
public:
    XDesktop() = default;
    XDesktop(const XDesktop&) = delete;
    XDesktop& operator=(const XDesktop&) = delete;
    ~XDesktop();

    // Why the desktop cannot run here (Xvfb, openbox or xdotool missing), or empty.
    static std::string Missing();
    // Xvfb, then openbox, ready once the window manager has announced itself.
    bool Start();
    std::string Display() const { return server_.Display(); }
    const std::string& Error() const { return error_; }

    // _NET_WM_PING, as a window manager checks a window is alive: milliseconds until the
    // client answered, or -1 when it did not within `timeoutMs`.
    long Ping(std::uint32_t window, int timeoutMs);
    // WM_DELETE_WINDOW, what the title bar's close button and Alt+F4 send.
    void RequestClose(std::uint32_t window);
    // Asks the window manager to minimise `window`, as its title-bar button does.
    void Minimise(std::uint32_t window);
    // Mapped and not minimised.
    bool IsViewable(std::uint32_t window);
    // A real button press and release through the X server at (x, y) inside `window`.
    bool Click(std::uint32_t window, int x, int y);
    // Brings the window titled `title` of process `pid` to the front with the keyboard focus,
    // as the window manager does when a user picks it; true once it is active.
    bool Focus(pid_t pid, const std::string& title);
    // A real key press through the X server, to whatever window has the focus (xdotool names).
    bool Key(const std::string& keys);
    // Startup-notification messages clients have sent so far ("remove: ID=..."), oldest first.
    std::vector<std::string> StartupMessages();

private:
    std::uint32_t Atom(const char* name);
    // Files one event read from the connection; true when it is the answer to ping `serial`.
    bool Take(xcb_generic_event_t* event, std::uint32_t serial);

    XvfbServer server_;
    pid_t wm_ = -1;
    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
    std::uint32_t protocols_ = 0, ping_ = 0, startupBegin_ = 0, startupMore_ = 0;
    std::uint32_t pingSerial_ = 0;
    std::vector<std::string> startup_;  // the last one may still be arriving
    bool startupOpen_ = false;
    std::string error_;
};

}  // namespace testsupport
