// Pseudo-terminals, hive files and the simulated board, for tests that drive the real port code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wincore.h"
#include "transport/link_session.h"

namespace testutil {

// Both ends of a pty; the slave stays open here too, so the master never sees a hang-up while
// the code under test reopens the port.
struct PtyPair {
    PtyPair();
    ~PtyPair();
    void CloseAll();  // hangs the line up
    // Everything the master receives within `ms`, stopping early once `want` bytes are in.
    std::vector<std::uint8_t> ReadMaster(std::size_t want, int ms);
    void WriteMaster(const std::vector<std::uint8_t>& bytes);

    int master = -1;
    int slave = -1;
    std::string path;
};

// A hive file named by VANTRA_REGISTRY for the lifetime of the object; sysfs is pointed at an
// empty folder so the machine's own adapters stay out of the way.
struct Hive {
    explicit Hive(const std::string& body);
    ~Hive();
    std::string file;
};
// A hive section body: [HKEY_LOCAL_MACHINE\Drivers\Active\<key>] with PnpId and, if given, Name.
std::string DriverKey(const std::string& key, const std::string& pnpId, const std::string* name);

std::string TempPath(const std::string& stem);

// Starts `args[0]` with `args` and `envp` (null: this process's environment): standard input
// from `in` and standard output to `out` unless they are -1, standard error into the file
// `errPath` if one is named. The child's pid, or -1 when it could not be started.
pid_t Spawn(std::vector<std::string> args, int in, int out, const std::string& errPath = "",
            char* const* envp = nullptr);

// vantra-boardsim as a child process.
struct BoardSim {
    // With `stderrPath`, the simulator's standard error (its --trace lines) goes to that file.
    explicit BoardSim(const std::vector<std::string>& args, const std::string& stderrPath = "");
    ~BoardSim();
    // Asks it to stop (unless it already has) and returns its summary line; `status` gets the
    // exit status.
    std::string Finish(int* status);

    pid_t pid = -1;
    int out = -1;
    std::string path;
};

// Starts LinkWorker the way the programs do (suspended, then resumed), for tests of the worker.
HANDLE StartWorker();

// The utility's side of the link, found through a simulated board's hive and running: the
// board (at full speed, with --registry), the session's transport and worker, without its
// pauses or queries.
struct LinkedBoard {
    LinkedBoard() = default;
    LinkedBoard(const LinkedBoard&) = delete;
    LinkedBoard& operator=(const LinkedBoard&) = delete;
    ~LinkedBoard() { Disconnect(); }

    // False when the board did not start or discovery chose another port.
    bool Connect(std::vector<std::string> args);
    // Stops the worker (false if it would not stop), deletes the transport without its
    // one-second pause and forgets the hive.
    bool Disconnect();

    std::unique_ptr<BoardSim> sim;
    CLinkSession session;
    std::string registry;
};

// Image in the firmware resource layout: start address, length, then bytes from a fixed seed.
std::vector<std::uint8_t> MakeImage(std::uint32_t start, std::uint32_t length);

}  // namespace testutil
