// What the client needs from the interpreter that hosts it. The client itself knows
// nothing of Python; the extension module (python/bridge.cpp) implements these.
#pragma once

#include "sdk.h"

namespace tarnu::host {

// The interpreter as a native event thread uses it: one thread state for the
// thread's whole life, the interpreter lock taken once per batch of events.
class ThreadInterpreter {
public:
    ThreadInterpreter() = default;
    ~ThreadInterpreter();  // gives the thread state back, if the interpreter still runs
    ThreadInterpreter(const ThreadInterpreter &) = delete;
    ThreadInterpreter &operator=(const ThreadInterpreter &) = delete;

    // Takes the interpreter lock. False once the interpreter has begun to shut
    // down: from then on no Python code may run on this thread.
    bool acquire();
    void release();
    bool held() const { return isHeld; }
    // The exiting interpreter is ending this thread (forced unwinding): forget the
    // lock and the thread state without touching either.
    void abandon();

private:
    void *threadState = nullptr;
    int gilState = 0;
    bool isHeld = false;
};

// A Python thread (one with a thread state of its own) taking the interpreter lock
// for a handler call.
class CallerInterpreter {
public:
    CallerInterpreter();
    ~CallerInterpreter();
    CallerInterpreter(const CallerInterpreter &) = delete;
    CallerInterpreter &operator=(const CallerInterpreter &) = delete;
    void abandon() { abandoned = true; }

private:
    int gilState;
    bool abandoned = false;
};

// False once the interpreter has begun to shut down.
bool available();

// Inside a catch block, with the interpreter lock held: report the exception in
// flight through sys.unraisablehook, naming the handler that raised it.
void reportMessageHandlerError(const MessageHandler &handler) noexcept;
void reportConnectionHandlerError(const ConnectionHandler &handler) noexcept;

// Calls the message handler. With the interpreter lock held.
void callMessageHandler(const MessageHandler &handler, const std::string &topic,
                        const std::string &payload);
// Calls the connection handler. With the interpreter lock held.
void callConnectionHandler(const ConnectionHandler &handler, bool up, int code);

}  // namespace tarnu::host
