#include "tests/support/x_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

bool OnPath(const char* name) {
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Runs `argv` with DISPLAY set to `display`; its exit status, or -1.
int Spawn(const std::vector<std::string>& args, const std::string& display, bool wait,
          pid_t* started = nullptr) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) env.emplace_back(*e);
    }
    env.push_back("DISPLAY=" + display);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    if (started != nullptr) *started = pid;
    if (!wait) return 0;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

XDesktop::~XDesktop() {
    if (connection_ != nullptr) xcb_disconnect(connection_);
    if (wm_ > 0) {
        ::kill(wm_, SIGTERM);
        ::waitpid(wm_, nullptr, 0);
    }
}

std::string XDesktop::Missing() {
    for (const char* tool : {"Xvfb", "openbox", "xdotool"}) {
        if (!OnPath(tool)) return std::string(tool) + " is not installed";
    }
    return {};
}

bool XDesktop::Start() {
    if (!server_.Start("640x480x24")) {
        error_ = server_.Error();
        return false;
    }
    connection_ = xcb_connect(Display().c_str(), nullptr);
    if (xcb_connection_has_error(connection_)) {
        error_ = "cannot connect to " + Display();
        return false;
    }
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    protocols_ = Atom("WM_PROTOCOLS");
    ping_ = Atom("_NET_WM_PING");
    startupBegin_ = Atom("_NET_STARTUP_INFO_BEGIN");
    startupMore_ = Atom("_NET_STARTUP_INFO");
    // StructureNotify is how the clients' answers to pings reach a second client: they are
    // sent to the root window with that mask (the window manager holds SubstructureRedirect).
    // PropertyChange is the mask startup-notification messages are sent with.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection_);

    if (Spawn({"openbox", "--sm-disable"}, Display(), false, &wm_) != 0) {
        error_ = "openbox did not start";
        return false;
    }
    const std::uint32_t check = Atom("_NET_SUPPORTING_WM_CHECK");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        auto* reply = xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, root_, check, XCB_ATOM_WINDOW, 0, 1),
            nullptr);
        const bool ready = reply != nullptr && xcb_get_property_value_length(reply) > 0;
        std::free(reply);
        if (ready) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "openbox did not announce itself";
    return false;
}

std::uint32_t XDesktop::Atom(const char* name) {
    auto* reply = xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr);
    const std::uint32_t atom = reply != nullptr ? reply->atom : 0;
    std::free(reply);
    return atom;
}

long XDesktop::Ping(std::uint32_t window, int timeoutMs) {
    const std::uint32_t serial = ++pingSerial_;  // tells our answer from the window manager's
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = protocols_;
    event.data.data32[0] = ping_;
    event.data.data32[1] = serial;
    event.data.data32[2] = window;
    const auto sent = Clock::now();
    // Mask 0: delivered to the window's owner, the client.
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection_);
    const auto deadline = sent + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(connection_)) {
            if (Take(e, serial)) {
                return static_cast<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent)
                        .count());
            }
        }
        pollfd p{xcb_get_file_descriptor(connection_), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return -1;
}

bool XDesktop::Take(xcb_generic_event_t* e, std::uint32_t serial) {
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owned(e, &std::free);
    if ((e->response_type & 0x7F) != XCB_CLIENT_MESSAGE) return false;
    auto* message = reinterpret_cast<xcb_client_message_event_t*>(e);
    if (message->type == protocols_) {
        return message->data.data32[0] == ping_ && message->data.data32[1] == serial;
    }
    // Startup notification: a text in 20-byte pieces, the first under its own type.
    const bool begin = message->type == startupBegin_;
    if (!begin && !(message->type == startupMore_ && startupOpen_)) return false;
    if (begin) startup_.emplace_back();
    const char* bytes = reinterpret_cast<const char*>(message->data.data8);
    const std::size_t n = strnlen(bytes, 20);
    startup_.back().append(bytes, n);
    startupOpen_ = n == 20;
    return false;
}

std::vector<std::string> XDesktop::StartupMessages() {
    while (xcb_generic_event_t* e = xcb_poll_for_event(connection_)) Take(e, 0);
    return startup_;
}

void XDesktop::RequestClose(std::uint32_t window) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = protocols_;
    event.data.data32[0] = Atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection_);
}

void XDesktop::Minimise(std::uint32_t window) {
    // The ICCCM request a client or pager makes; the window manager iconifies the window.
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = Atom("WM_CHANGE_STATE");
    event.data.data32[0] = 3;  // IconicState
    xcb_send_event(connection_, 0, root_,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection_);
}

bool XDesktop::IsViewable(std::uint32_t window) {
    auto* reply = xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr);
    const bool viewable = reply != nullptr && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(reply);
    return viewable;
}

bool XDesktop::Click(std::uint32_t window, int x, int y) {
    return Spawn({"xdotool", "mousemove", "--window", std::to_string(window), std::to_string(x),
                  std::to_string(y), "click", "1"},
                 Display(), true) == 0;
}

bool XDesktop::Focus(pid_t pid, const std::string& title) {
    // windowactivate fails, so the command does, when the search found nothing.
    return Spawn({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid),
                  "--name", "^" + title + "$", "windowactivate", "--sync"},
                 Display(), true) == 0;
}

bool XDesktop::Key(const std::string& keys) {
    return Spawn({"xdotool", "key", keys}, Display(), true) == 0;
}

}  // namespace testsupport
