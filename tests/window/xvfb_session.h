// A private X server for window tests: Xvfb on a free display number, the
// executable run against it with a script, and the test's own connection for
// screenshots, synthesised input and outside changes to the windows.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <sys/types.h>
#include <unistd.h>

// Polls `condition` every 10 ms, `tries` times at most (ten seconds by
// default); whether it came true.
template <class Condition> bool eventually(Condition condition, int tries = 1000) {
    for (int i = 0; i < tries; ++i, usleep(10000))
        if (condition()) return true;
    return condition();
}

// Starts Xvfb on a free display and connects to it; stops it by its process
// id when destroyed.
class XvfbServer {
  public:
    XvfbServer(int width, int height);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return display_ != nullptr; }
    const std::string& name() const { return name_; }
    Display* display() const { return display_; }

    // The top-level window with this title, 0 when none.
    Window findWindow(const std::string& title) const;
    // The screen's colour at (x, y) as 0xRRGGBB.
    unsigned long pixelAt(int x, int y) const;
    // Polls the screen until (x, y) shows colour, for at most a few seconds.
    bool waitForPixel(int x, int y, unsigned long colour) const {
        return eventually([&] { return pixelAt(x, y) == colour; });
    }

  private:
    pid_t pid_ = -1;
    std::string name_;
    Display* display_ = nullptr;
};

// The executable running one script in a fresh folder, with DISPLAY set for
// it alone. Script and test signal each other with empty files in that folder.
class ScriptProcess {
  public:
    ScriptProcess(const std::string& script, const std::string& display);
    ~ScriptProcess();
    ScriptProcess(const ScriptProcess&) = delete;
    ScriptProcess& operator=(const ScriptProcess&) = delete;

    void signal(const std::string& name) const;
    bool waitForSignal(const std::string& name);
    // Waits for the exit (killing it after a bound) and returns the status.
    int finish();
    std::string output() const;
    std::string errors() const;

  private:
    bool reaped(); // true once the process has ended (its status is kept)
    std::string folder_;
    pid_t pid_ = -1;
    int status_ = -1;
};
