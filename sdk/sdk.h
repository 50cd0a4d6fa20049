// tarnu_sdk — the MQTT client object.
//
// THREADING RULES (the one place they are written down; other comments point here)
// ---------------------------------------------------------------------------------
// Threads
//   thread                      | how many         | runs                               | may take
//   ----------------------------+------------------+------------------------------------+---------------------
//   Python caller               | any              | every method, the teardown         | any lock below; the
//                               |                  | (the binding releases the GIL      | GIL only for its own
//                               |                  | first: no method blocks holding it)| handler call (turn)
//   library network thread      | 1 per process    | messageArrived, deliveryComplete   | queue lock, in-flight
//                               | (Paho's)         | (copy, hand over; no Python, no    | lock, registry lock
//                               |                  | library call, never a console)     |
//   library loss thread         | 1 per loss       | connectionLost (the library frees  | linkMutex, the watch
//                               | (Paho's)         | what it uses after 5 s)            | lock, queue lock ->
//                               |                  |                                    | life lock, in-flight
//   event thread                | 1 per client     | every handler call, in event order;| callbackMutex, then
//                               |                  | the loss and reconnection lines;   | the GIL; workerMutex
//                               |                  | starts the worker after a loss;    | -> life lock (no GIL);
//                               |                  | asks for held messages (no GIL)    | handleGate (shared)
//   reconnection worker         | <= 1 per client  | the back-off loop and its connects | connectMutex ->
//                               |                  | (never Python)                     | handleGate (alone) and
//                               |                  |                                    | what a connect takes;
//                               |                  |                                    | the life lock alone
//   quick chores                | 1 per process    | keep-alive watch, connect nudge    | watch lock -> queue
//                               |                  |                                    | lock; nudge lock
//   library chores              | 1 per process    | keep-alive pacer, handle reaper    | the library's locks
//   (paho_workarounds/chores.h, the anchor's handshake thread at the first init, and the
//   stop at interpreter exit, python/exit.cpp, are the other threads of the module.)
//
// Locks, in the only order in which they may nest (left before right)
//   opMutex -> workerMutex -> the life lock (stop hands the worker over; the event
//     thread starts it, and joins under workerMutex only a worker that has ended)
//   opMutex -> connectMutex -> queue lock -> the life lock (a state change is made with
//     the queueing of its event)
//   opMutex -> connectMutex -> handleGate -> linkMutex, and -> the watch lock -> the
//     quick chores' lock (a connect starts the keep-alive watch); the watch lock -> queue
//     lock (the watch asks for held messages)
//   handleGate (shared) -> the in-flight lock;  handleGate (shared) -> publishingMutex;
//   handleGate (shared) -> subscribeMutex (held around the library's subscribe or
//   unsubscribe, which no callback of ours waits for)
//   callbackMutex -> GIL -> slotMutex
//   the library's mqttclient_mutex -> the in-flight lock (deliveryComplete runs with the
//   library's lock held; the registry lock of callbacks.cpp is let go before the call;
//   messageArrived and connectionLost run without the library's lock). None of ours is
//   ever held around a call into the library that could need it, except
//   publishingMutex around the library's disconnect of a stuck publish, which no
//   callback takes, and the anchor's setup lock around its own connect.
//   The watch lock is held while the watch asks a client's event thread to get held
//   messages moving (a queue lock, never waited on for long); the nudge, pacer and
//   reaper locks take only their chore thread's queue lock.
//   Leaves (nothing is taken under them): the life lock, slotMutex, the in-flight lock,
//   linkMutex, the link's send-at-once lock (hidden_socket.h), the registry lock, the
//   chore threads' queue locks, python/bridge.cpp's gate lock, python/exit.cpp's lock.
//   No mutex of this client is taken while the GIL is held. No console line is written
//   under the queue lock or by the library's threads (the dropped-messages line is
//   written only if standard error takes it at once), so a console nobody reads holds up
//   only the client whose thread writes.
//
// What each lock guards
//   opMutex (fair_mutex.h)     connect, disconnect, stop, init, the teardown of one
//                              object; handed over in request order; never held while a
//                              handler runs or a method waits for its turn, so a handler
//                              may call any method of its own object.
//   connectMutex               a program connect() against the worker's, and with them
//                              the sealing of the password and the read of the sealed text.
//   handleGate (handle_gate.h) the library handle: shared by publish, subscribe and
//                              unsubscribe around their library calls (and the event
//                              thread's request for held messages); alone for a library
//                              connect, disconnect and the release of the handle.
//   in-flight lock (inflight.h) the window of 64 QoS 1/2 messages, the hand-over (one
//                              publish at a time) and the waits for completion; a publish
//                              waits there holding nothing else.
//   life lock                  the connection's phase and its transitions, whether stop
//   (connection_life.h)        has begun, whether a worker is alive; the worker's
//                              back-off wait. is_connected() and publishes read a copy
//                              without it.
//   queue lock (events.h)      the event queue, a connection state change together with
//                              the queueing of its event, and the turns.
//   callbackMutex              the handler calls of one client (and a setter called
//                              outside any handler, which returns once the old handler no
//                              longer runs); slotMutex the two handler slots.
//   workerMutex                the worker thread: its start, and its hand-over to stop
//                              (which joins it without the lock).
//   linkMutex                  the hold on the connection's socket
//                              (paho_workarounds/hidden_socket.h).
//   publishingMutex            the handle of a publish inside the library
//                              (paho_workarounds/stuck_publish.cpp).
//
// What may be called where
//   * From a handler: any method of any client. Setters there swap the slot under
//     slotMutex alone; connect, disconnect and stop there queue their event without
//     waiting for their turn (its handler call follows when the event thread gets to it,
//     errors go to sys.unraisablehook). A thread inside a handler never waits for
//     another client's callbackMutex or turn.
//   * From the library's callbacks: no Python, no library call, no console, nothing that
//     blocks for long (back-pressure below is the one wait, and it is lifted whenever a
//     handler is inside a method or the client is connecting or ending its connection).
//   * publish, subscribe and unsubscribe of several threads overlap; a QoS 0 publish, a
//     subscribe, stop() and disconnect() never wait behind another thread's QoS 1 wait.
//     The library lets one subscribe and one unsubscribe of the process wait for its
//     answer at a time (its subscribe_mutex and unsubscribe_mutex).
//
// The connection's life (connection_life.h: its phases and transitions in one table)
//   connect, disconnect, stop, the loss, the worker and the teardown each move it. A loss
//   is reconnected only when the handler has heard of it and nothing ended the
//   connection meanwhile: not a disconnect, stop or teardown (also one that began before
//   the library noticed the loss), and not a program connect. Threads in stop,
//   disconnect, a second init or the teardown are counted there: waits for room, the
//   hand-over and completions give up for them; before they take opMutex, a publish
//   stuck inside the library is drained or its link cut
//   (paho_workarounds/stuck_publish.cpp), and the loss that follows is the program's
//   end. Losses are counted at once: a publish's wait ends at the one after it began.
//
// Order of events: a connection state change and the queueing of its event are one
// step under the queue lock, so the handler sees (false, -1), (true, 0), (false, 0) in
// the order of the real state changes; from the start of a library connect until its
// (true, 0) is queued, arriving messages and a reported loss wait aside (beginConnect).
// connect, disconnect and stop write their line, queue their event and wait for their
// turn; at it, the caller calls the connection handler itself (its exception reaches
// the caller) while the event thread waits.
//
// Teardown (stop, a second init, deallocation): end the worker, disconnect (with its
// handler call in turn), close the callback context (callbacks.h), hand the handle to
// the reaper (paho_workarounds/handle_used_after_callback.cpp). Deallocation then ends
// the event thread (detached when it is the deallocating thread or the interpreter is
// exiting; it waits until that thread no longer uses the object). The GIL is released
// before the destructor runs. At interpreter exit the module stops every client still
// connected or reconnecting (python/exit.cpp), then closes the gate to Python.
//
// Back-pressure: the event queue holds 8192 messages (32 MiB); when it is full the
// library's network thread waits, except in the cases above, where the queue grows to
// eight times that and then drops messages, counted in one
// "[SDK] Message queue full, dropped <n> messages" line per second.
//
// Process-wide work around the library's one network thread, and why it is needed:
// paho_workarounds/ (each file names the fault it answers and how to tell whether a
// release still has it). Handlers that raise (and messages that are not valid UTF-8)
// are reported through sys.unraisablehook; once the interpreter has begun to shut down,
// no handler is called any more.
#pragma once

#include "connection_life.h"
#include "fair_mutex.h"
#include "handle_gate.h"
#include "inflight.h"
#include "paho_workarounds/hidden_record.h"

#include <MQTTClient.h>

#include <atomic>
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
    // Run by the event thread after it has reported a connection loss: starts the
    // reconnection worker when the loss is to be reconnected (connection_life.h).
    void afterLossReported();
    // Run by the event thread when the library holds arrived messages back
    // (paho_workarounds/messages_held_back.cpp).
    void handOverHeldMessages();

private:
    // The stop steps, with opMutex held by `op` (released for the handler call). A
    // handler error is thrown when `rethrow`, else reported as unraisable.
    void stopLocked(std::unique_lock<tarnu::FairMutex> &op, bool rethrow);
    // disconnect's library work and state change; queues the (false, 0) event.
    // Returns true when the caller must take its turn (see sdk.h, Ordering).
    bool disconnectLocked(tarnu::Turn *turn);
    void sealPassword();
    void reconnectLoop();
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
    // Before the library's disconnect: waits for this client's messages in flight while
    // the connection lasts; returns what is left of the library's 10 s for them
    // (paho_workarounds/disconnect_waits_after_loss.cpp).
    int awaitMessagesInFlight();
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
    // The connection's phase, whether stop has begun and whether a worker is alive, and
    // the counts of losses and of threads ending the connection (connection_life.h).
    tarnu::ConnectionLife life;
    std::atomic<int> maxReconnectInterval{1};  // set by init
    std::thread reconnectThread;

    tarnu::FairMutex opMutex;
    std::mutex connectMutex;
    // Guards reconnectThread: the start of the worker and its hand-over to stop.
    std::mutex workerMutex;

    // QoS 1/2 messages in flight and the publishes waiting for them (inflight.h).
    tarnu::InFlight inflight;

    // The library's record of `client` (record.h), and the socket of the broker
    // connection while connected (link.h), the latter under linkMutex.
    tarnu::LibraryRecord record;
    std::shared_ptr<const tarnu::BrokerLink> link;
    mutable std::mutex linkMutex;
    // Shared by publish, subscribe and unsubscribe around their library calls; held
    // alone by a library connect or disconnect and around the release of `client`
    // (handle_gate.h).
    tarnu::HandleGate handleGate;
    // One subscribe or unsubscribe in the library at a time: both wait for their answer
    // in one slot of the handle (MQTTClient_waitfor reads m->pack, which the network
    // thread sets for a SUBACK and an UNSUBACK alike; Paho C 1.3.10 to 1.3.16), so side
    // by side one takes the other's answer. Taken under handleGate (shared).
    std::mutex subscribeMutex;
    // Bytes published since the socket's send queue was last looked at (hand-over).
    std::size_t sentSinceCheck = 0;
    // The handle of a publish that is inside the library, under publishingMutex
    // (unstickPublish, endStuckPublish).
    std::mutex publishingMutex;
    MQTTClient publishing = nullptr;
    std::atomic<bool> publishUnderWay{false};

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
