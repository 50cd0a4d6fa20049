// tarnu_sdk — the MQTT client object.
//
// THREADING RULES (the one place they are written down; other comments point here)
// ---------------------------------------------------------------------------------
// Threads that touch an SDK object:
//   * Python threads call its methods. Every binding releases the interpreter lock
//     (GIL) before the member runs, so a member never holds the GIL while it blocks.
//   * The library's network thread (one per process, owned by the Paho library) runs
//     onMessageArrived / onDeliveryComplete, and a short-lived library thread runs
//     onConnectionLost. These callbacks only copy data, free the library's objects
//     and hand an event to the object's event thread. They never touch Python and
//     never call the library. The library gives onConnectionLost 5 s and then frees
//     what its thread still uses, so that callback never blocks for long: its line is
//     written only if stderr takes it within a second (log.h).
//   * The event thread (one per object, started by init) calls the handlers, in the
//     order the events happened: messages, connection losses, reconnections.
//     It also starts the reconnection worker after it has reported a loss.
//   * The reconnection worker (at most one per object) calls the library's connect
//     with a doubling, capped back-off. It never touches Python: a successful
//     reconnection is reported through the event thread.
//
// Process-wide (network.h), because the library's state for all handles is one:
//   * The library starts its network thread at a connect when it does not run, and
//     stops it when a handle loses or ends its connection and no other is connected.
//     Both race: a connect made while the thread is told to stop but has not yet left
//     (a keep-alive loss leaves that window open) starts no thread and stalls, or
//     "succeeds" with no thread left to serve it; a handle created while the library
//     tears down its lists after the last destroy is used after it was freed. The
//     anchor, a handle of the client's own connected to a private loopback endpoint
//     from the first init on, keeps one handle connected for the life of the process:
//     the library never stops the thread nor tears its lists down. Nothing else is
//     serialised process-wide by this client: connects are serialised by the library
//     itself (one at a time, its lock held through the wait for CONNACK); publishes,
//     subscribes and disconnects of different clients overlap.
//   * The keep-alive watch (watch.cpp) cuts links the library would keep for ever: a
//     PINGREQ unanswered behind a trickled packet, and a send queue that has not
//     shrunk for 1.5 x keepAlive + 1 s (the library's keep-alive clock never runs out
//     while one of its writes is pending).
//   * The library's keep-alive timer period is also process-wide, set by each connect
//     to a tenth of that connect's keep-alive; the pacer (pacer.cpp) puts it back to
//     0.1 s after every connect, on a thread of its own.
//   * A handle is destroyed by the reaper thread (retire.cpp), once the network thread
//     has been seen to finish a full round after its last use of the handle.
//
// Locks, in the only order in which they may nest (left before right):
//   opMutex -> connectMutex -> workerMutex, and connectMutex -> queue lock
//   opMutex -> connectMutex -> handleGate -> linkMutex
//   handleGate (shared) -> the in-flight lock -> (nothing)
//   handleGate (shared) -> publishingMutex (around a publish's library call)
//   callbackMutex -> GIL -> slotMutex
// (reconnectMutex is only held around its own wait, slotMutex only for a moment around
// a handler slot.) The library calls deliveryComplete with its own lock held: from
// there only the in-flight lock is taken, and that lock is never held around a call
// into the library.
//   * opMutex serialises connect, disconnect, stop, init and the teardown of one
//     object (they run without the GIL), and is handed over in the order it was asked
//     for (fair_mutex.h). It is never held while a handler runs or while a method
//     waits for the event thread, so a handler may call any method of its own object.
//     publish, subscribe and unsubscribe do not take it: calls of several threads
//     overlap (below).
//   * connectMutex keeps a program connect() and the worker's connect apart, and
//     with them the sealing of the password and the read of the sealed text.
//   * handleGate (handle_gate.h) is held shared by publish, subscribe and unsubscribe
//     around their library calls, and alone by a library connect, a disconnect and the
//     release of the handle: a call still inside the library when the link is lost
//     closes the library's socket as it returns, so the worker's reconnection waits
//     for it. A thread waiting to hold it alone keeps new shared users out.
//   * The in-flight lock (inflight.h) guards the window of QoS 1/2 messages, the
//     hand-over (one publish at a time gives its message to the library, so the
//     completions that come during it are known to be its own) and the waits for
//     completion. A publish waits for room and for its completion holding nothing
//     else, so a QoS 0 publish, a subscribe, stop() or disconnect() never waits behind
//     another thread's QoS 1 wait. The library lets one subscribe and one unsubscribe
//     of the process wait for its answer at a time (its subscribe_mutex and
//     unsubscribe_mutex); publishes go on beside them.
//   * linkMutex guards the object's hold on the connection's socket (link.h).
//   * callbackMutex is held by whichever thread is calling handlers (the event
//     thread, or a Python thread inside connect/disconnect/stop that is taking its
//     turn, below), and by on_message/on_connection called outside any handler while
//     they replace a handler (so they return once the old one no longer runs). It is
//     only ever taken without the GIL; the GIL is taken after it.
//   * A thread that holds any client's callbackMutex (it is inside a handler) never
//     waits for another client's callbackMutex or turn: two clients' handlers that
//     call into each other would wait for each other for ever. Setters called there
//     swap the slot under slotMutex alone (the running handler keeps its own
//     reference until its call returns), and connect, disconnect and stop called
//     there queue their event without waiting (below).
//   * No mutex of this client is taken while the GIL is held.
//   * workerMutex guards the start, end and hand-over of the reconnection worker;
//     stop() and the teardown join the worker without holding it.
//   * `ending` counts threads in stop, disconnect, a second init or the teardown; a
//     publish waiting for room in the window or the socket (link.h), for the
//     hand-over or for its completion gives up for them. Before they take opMutex, a
//     publish still inside the library (its packet taken by the socket only in part)
//     is waited for while the link drains; a link that takes nothing for half a
//     second is cut (messaging.cpp, drainOrCut), and the loss that follows starts no
//     reconnection (kEndedByProgram). Without a link (the library's record is not
//     known, record.h), the publish is given 2 s and then ended by the library's own
//     disconnect (endStuckPublish).
//   * `epoch` moves on at each program disconnect and each release of the handle: a
//     loss whose event is delivered after it starts no reconnection, and a running
//     worker ends.
//
// Teardown (stop, a second init, deallocation) runs these steps in order: end the
// worker, disconnect (with its handler call in turn), close the library's callback
// context (see callbacks.h), hand the library's handle to the reaper. Deallocation
// then ends the event thread, or detaches it when that is the thread deallocating
// the object, or when the interpreter is exiting. The class is registered so that the
// GIL is released before the destructor runs. At interpreter exit, before the
// interpreter finalises, the module stops every client still connected or
// reconnecting (python/exit.cpp), then closes the gate to Python.
//
// Ordering: the state change of connected and the queueing of its event happen in
// one step under the event thread's queue lock, so the handler sees (false, -1),
// (true, 0), (false, 0) in the order of the real state changes. From the start of a
// library connect until its (true, 0) is queued, the messages that arrive and a loss
// that the library reports wait aside (events.h, beginConnect), so they follow the
// (true, 0) of their connection even when the connecting thread is the slower one.
// connect, disconnect and stop queue their event and then wait for their turn: when
// the event thread reaches it, the Python caller calls the connection handler itself
// (so an exception it raises reaches the caller unchanged) while the event thread
// waits. Called from inside a handler (of any client), these methods queue the event
// without waiting; the handler call follows when the client's event thread gets to
// it (for the client whose handler is running: when that one returns), and its
// errors are reported through sys.unraisablehook.
//
// Back-pressure: the event queue is bounded; when it is full the library's callback
// thread waits. It does not wait while the client is disconnecting, stopping or
// connecting (messages are held aside then), or while a handler is inside a method
// of any client (that method may need the library's thread to finish), so none of
// them can deadlock on a full queue. Then the queue grows up to eight times its
// bound and, past that, drops messages, counting them in one
// "[SDK] Message queue full, dropped <n> messages" line per second.
//
// Handlers that raise (and messages that are not valid UTF-8) are reported through
// sys.unraisablehook; the event is dropped and delivery goes on. Once the
// interpreter has begun to shut down, no handler is called any more.
#pragma once

#include "fair_mutex.h"
#include "handle_gate.h"
#include "inflight.h"
#include "record.h"

#include <MQTTClient.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Called for each arriving message with its topic and payload (raw bytes; the
// payload may contain zero bytes).
using MessageHandler = std::function<void(const std::string &, const std::string &)>;
// Called on connection-state changes: (true, 0) after a successful connect or
// reconnection, (false, 0) after disconnect, (false, -1) on connection loss.
using ConnectionHandler = std::function<void(bool, int)>;

namespace tarnu {
class BrokerLink;
class EventThread;
struct Turn;
}

class SDK {
public:
    SDK();
    ~SDK();
    SDK(const SDK &) = delete;
    SDK &operator=(const SDK &) = delete;
    SDK(SDK &&) = delete;
    SDK &operator=(SDK &&) = delete;

    void init(const std::string &clientId, const std::string &brokerHost,
              const std::string &protocol, const std::string &username,
              const std::string &password, bool cleanSession, bool resumeSubs,
              bool connectRetry, bool autoReconnect, int connectRetryInterval,
              int maxReconnectInterval, int keepAlive, int pingTimeout, int writeTimeout,
              bool orderMatters, int connectTimeout, const std::string &edition);
    bool connect();
    void disconnect();
    void publish(const std::string &topic, std::string_view payload, int qos, bool retained);
    bool subscribe(const std::string &topic, int qos);
    void unsubscribe(const std::string &topic);
    void on_message(MessageHandler handler);
    void on_connection(ConnectionHandler handler);
    void stop();
    bool is_connected() const;
    // (Every public member throws std::runtime_error in a forked child that inherited
    // the object: see process.h.)

    // True in a forked child for an object made by its parent (see process.h).
    bool inherited() const;

    // The interpreter is exiting (called before it finalises): stops the client with
    // its handler call in turn, dropping messages not yet delivered. Handler errors
    // are reported as unraisable.
    void stopAtExit();

    // Entry points for the library's callbacks (see callbacks.h).
    void messageArrived(std::string topic, std::string payload);
    void deliveryComplete(MQTTClient_deliveryToken token);
    void connectionLost(const char *cause);
    // Run by the event thread after it has reported a connection loss that happened at
    // `lossEpoch` (see epoch).
    void startReconnectWorker(std::uint64_t lossEpoch);

private:
    // The stop steps, with opMutex held by `op` (released for the handler call). A
    // handler error is thrown when `rethrow`, else reported as unraisable.
    void stopLocked(std::unique_lock<tarnu::FairMutex> &op, bool rethrow);
    // disconnect's library work and state change; queues the (false, 0) event.
    // Returns true when the caller must take its turn (see sdk.h, Ordering).
    bool disconnectLocked(tarnu::Turn *turn);
    void sealPassword();
    void reconnectLoop();
    // Wakes the worker's back-off wait; with running cleared, the worker ends at once.
    void wakeWorker();
    // Before a thread that ends the connection takes opMutex: a publish inside the
    // library with a packet the socket could not take is waited for while the link
    // drains, and its link is cut once it has taken nothing for a while (see
    // messaging.cpp).
    void unstickPublish();
    // Waits until the socket's send queue is empty (or `done`) while the link takes
    // bytes; cuts the link once it has taken none for a while, and then returns true.
    bool drainOrCut(const std::function<bool()> &done);
    // Before a publish of `packet` bytes, during its hand-over: false when the packet
    // must not be started because the client is stopping or disconnecting (see link.h,
    // waitForRoom).
    bool roomFor(std::size_t packet, std::uint64_t lossesBefore);
    // The library's publish of `message`, marked as under way for unstickPublish.
    int publishInLibrary(const std::string &topic, MQTTClient_message &message,
                         MQTTClient_deliveryToken &token);
    // Without a link to cut (the library's record is not known): a publish that stays
    // inside the library is ended by the library's own disconnect.
    void endStuckPublish();
    void releaseClient();
    // The library's connect, as 3.1.1 and, only when the broker refuses that version
    // of the protocol, as 3.1; with handleGate held alone. The broker's first answer is
    // kept.
    int libraryConnect();
    // After a successful library connect: takes hold of its socket (see link.h).
    void adoptLink();
    std::shared_ptr<const tarnu::BrokerLink> currentLink() const;
    void dropLink();

    MQTTClient client = nullptr;
    MQTTClient_connectOptions connectOptions = MQTTClient_connectOptions_initializer;
    // Read by the library through connectOptions.ssl for ssl://, mqtts:// and wss://.
    MQTTClient_SSLOptions tlsOptions = MQTTClient_SSLOptions_initializer;
    std::string serverUri;
    std::string username;
    std::string password;
    std::string clientId;
    std::string edition;
    std::string sealedPassword;
    // Handlers, callbackMutex and the event queue live with the event thread, which
    // may outlive this object when the object is deallocated from inside a handler.
    std::shared_ptr<tarnu::EventThread> events;
    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> autoReconnect{true};
    std::atomic<int> maxReconnectInterval{60};
    std::thread reconnectThread;
    // Condition variables are held through pointers so that a forked child can leave
    // them alone: destroying one that a thread of the parent waited on never returns.
    std::unique_ptr<std::condition_variable> reconnectCv = std::make_unique<std::condition_variable>();
    std::mutex reconnectMutex;

    tarnu::FairMutex opMutex;
    std::mutex connectMutex;
    // Guards reconnectThread, workerActive and workerConnects: the start, end and
    // hand-over of the worker.
    std::mutex workerMutex;
    bool workerActive = false;
    // Successful program connects; a worker ends once one succeeded after it began.
    std::atomic<std::uint64_t> programConnects{0};
    std::uint64_t workerConnects = 0;
    // Moves on at each program disconnect and each release of the library handle
    // (stop, a second init, the teardown). A loss reported before it moved, whose event
    // is delivered after, starts no worker, and a running worker ends when it moves:
    // the program ended that connection itself.
    std::atomic<std::uint64_t> epoch{0};
    // The epoch a loss carries when a thread ending the connection cut its link: it
    // matches none, so that loss starts no reconnection (stop would otherwise wait for
    // that reconnection's connect, and a disconnect would be undone by it).
    static constexpr std::uint64_t kEndedByProgram = UINT64_MAX;
    std::uint64_t workerEpoch = 0;

    // QoS 1/2 messages in flight and the publishes waiting for them (inflight.h).
    tarnu::InFlight inflight;
    std::atomic<std::uint64_t> losses{0};

    // The library's record of `client` (record.h), and the socket of the broker
    // connection while connected (link.h), the latter under linkMutex.
    tarnu::LibraryRecord record;
    std::shared_ptr<const tarnu::BrokerLink> link;
    mutable std::mutex linkMutex;
    // Shared by publish, subscribe and unsubscribe around their library calls; held
    // alone by a library connect or disconnect and around the release of `client`
    // (handle_gate.h).
    tarnu::HandleGate handleGate;
    // Bytes published since the socket's send queue was last looked at (hand-over).
    std::size_t sentSinceCheck = 0;
    // Threads in stop, disconnect, a second init or the teardown: a publish waiting for
    // room in the socket, or for its completion, gives up for them.
    std::atomic<int> ending{0};
    // The handle of a publish that is inside the library, under publishingMutex
    // (unstickPublish, endStuckPublish).
    std::mutex publishingMutex;
    MQTTClient publishing = nullptr;
    std::atomic<bool> publishUnderWay{false};

    // Set (under opMutex) once the interpreter's exit has stopped the client.
    bool stoppedAtExit = false;

    // Context under which the current library client reports back (see callbacks.h).
    std::uintptr_t callbackId = 0;

    // The process generation this object was made in (see process.h).
    const unsigned madeIn;
    // Throws when the object was inherited by a forked child.
    void checkProcess() const;
    // The teardown of an inherited object: everything another thread could have
    // held at the fork is left alone.
    void abandonInherited();
};
