// Publishing, subscriptions, the handler setters and inbound messages.
#include "sdk.h"

#include "events.h"
#include "log.h"
#include "paho_workarounds/hidden_socket.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <functional>
#include <shared_mutex>
#include <thread>

namespace {

constexpr auto kCompletionTimeout = std::chrono::milliseconds(10000);

// The library passes some input to the wire that the broker answers with a
// disconnect: QoS levels out of range, and topics MQTT cannot carry. Such calls are
// refused here instead, with the library's codes for a bad QoS and for a malformed
// request (MQTTCLIENT_BAD_STRUCTURE).
bool validQos(int qos) { return qos >= 0 && qos <= 2; }

constexpr std::size_t kMaxTopicBytes = 65535;  // an MQTT string's length field

// The topic as the library reads it: up to the first zero byte.
std::string_view wireTopic(const std::string &topic) { return std::string_view(topic.c_str()); }

bool validTopicName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxTopicBytes &&
           name.find_first_of("+#") == std::string_view::npos;
}

// Wildcards stand for whole levels: "+" alone in its level, "#" alone in the last.
bool validTopicFilter(std::string_view filter) {
    if (filter.empty() || filter.size() > kMaxTopicBytes) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = filter.find('/', start);
        const std::string_view level =
            filter.substr(start, end == std::string_view::npos ? end : end - start);
        if (level.find('#') != std::string_view::npos &&
            (level != "#" || end != std::string_view::npos)) {
            return false;
        }
        if (level.find('+') != std::string_view::npos && level != "+") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::string failedOn(const char *operation, const std::string &topic, int rc) {
    return std::string("[SDK] ") + operation + " failed on '" + topic + "', rc=" +
           std::to_string(rc);
}

}  // namespace

void SDK::publish(const std::string &topic, std::string_view payload, int qos, bool retained) {
    checkProcess();
    tarnu::MethodScope scope;
    if (!life.isConnected()) {
        tarnu::log::err("[SDK] publish \u2014 not connected");
        return;
    }
    if (!validQos(qos)) {
        tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_BAD_QOS));
        return;
    }
    // A payload of 2 GiB or more does not fit the library's length field: refused
    // rather than truncated.
    if (!validTopicName(wireTopic(topic)) || payload.size() > static_cast<std::size_t>(INT_MAX)) {
        tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_BAD_STRUCTURE));
        return;
    }
    const std::uint64_t lossesBefore = life.lossCount();
    const tarnu::InFlight::GiveUp giveUp = [&] {
        return life.someoneEnding() || !life.isConnected() || life.lossCount() != lossesBefore;
    };
    // A place in the window first, within the call's own time: the messages of other
    // threads that hold the window are acknowledged meanwhile.
    const bool reserved = qos > 0;
    if (reserved) {
        switch (inflight.reserve(tarnu::InFlight::Clock::now() + kCompletionTimeout, giveUp)) {
        case tarnu::InFlight::Outcome::ready:
            break;
        case tarnu::InFlight::Outcome::gaveUp:
            tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_DISCONNECTED));
            return;
        case tarnu::InFlight::Outcome::timedOut:
            tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_MAX_MESSAGES_INFLIGHT));
            return;
        }
    }
    MQTTClient_message message = MQTTClient_message_initializer;
    message.payloadlen = static_cast<int>(payload.size());
    message.payload = const_cast<char *>(payload.data());
    message.qos = qos;
    message.retained = retained ? 1 : 0;
    MQTTClient_deliveryToken token = 0;  // stays 0 at QoS 0: nothing to wait for
    int rc = MQTTCLIENT_DISCONNECTED;
    bool notConnected = false;
    std::shared_ptr<tarnu::InFlight::Ticket> ticket;
    {
        std::shared_lock<tarnu::HandleGate> using_(handleGate);
        if (client == nullptr || !life.isConnected()) {
            notConnected = true;
        } else if (inflight.beginHandOver(giveUp)) {
            if (roomFor(wireTopic(topic).size() + payload.size() + (qos > 0 ? 9 : 7), lossesBefore)) {
                // A QoS 0 stream keeps the kernel's coalescing; what a call waits on goes
                // out at once.
                const tarnu::SendAtOnce now(qos == 0 ? nullptr : currentLink());
                rc = publishInLibrary(topic, message, token);
            }
            ticket = inflight.endHandOver(rc == MQTTCLIENT_SUCCESS ? token : 0, reserved);
        } else if (reserved) {
            inflight.unreserve();
        }
    }
    if (notConnected) {
        if (reserved) {
            inflight.unreserve();
        }
        tarnu::log::err("[SDK] publish \u2014 not connected");
        return;
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        tarnu::log::err(failedOn("publish", topic, rc));
        return;
    }
    if (ticket != nullptr) {
        // Ends with the message's completion, the connection's loss, a thread that ends
        // the connection, or the timeout.
        inflight.wait(ticket, tarnu::InFlight::Clock::now() + kCompletionTimeout, giveUp);
    }
}

void SDK::deliveryComplete(MQTTClient_deliveryToken token) { inflight.completed(token); }

bool SDK::subscribe(const std::string &topic, int qos) {
    checkProcess();
    tarnu::MethodScope scope;
    if (!life.isConnected()) {
        tarnu::log::err("[SDK] subscribe \u2014 not connected");
        return false;
    }
    int rc = MQTTCLIENT_BAD_QOS;
    if (validQos(qos)) {
        rc = MQTTCLIENT_BAD_STRUCTURE;
        if (validTopicFilter(wireTopic(topic))) {
            std::shared_lock<tarnu::HandleGate> using_(handleGate);
            if (client == nullptr) {
                rc = MQTTCLIENT_DISCONNECTED;
            } else {
                const tarnu::SendAtOnce now(currentLink());  // the call waits for the answer
                std::lock_guard<std::mutex> answer(subscribeMutex);
                rc = MQTTClient_subscribe(client, topic.c_str(), qos);
            }
        }
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        tarnu::log::err(failedOn("subscribe", topic, rc));
        return false;
    }
    tarnu::log::out("[SDK] Subscribed to: " + topic);
    return true;
}

void SDK::unsubscribe(const std::string &topic) {
    checkProcess();
    tarnu::MethodScope scope;
    if (!life.isConnected()) {
        tarnu::log::err("[SDK] unsubscribe \u2014 not connected");
        return;
    }
    int rc = MQTTCLIENT_BAD_STRUCTURE;
    if (validTopicFilter(wireTopic(topic))) {
        std::shared_lock<tarnu::HandleGate> using_(handleGate);
        if (client == nullptr) {
            rc = MQTTCLIENT_DISCONNECTED;
        } else {
            const tarnu::SendAtOnce now(currentLink());  // the call waits for the answer
            std::lock_guard<std::mutex> answer(subscribeMutex);
            rc = MQTTClient_unsubscribe(client, topic.c_str());
        }
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        tarnu::log::err(failedOn("unsubscribe", topic, rc));
        return;
    }
    tarnu::log::out("[SDK] Unsubscribed from: " + topic);
}

void SDK::on_message(MessageHandler handler) {
    checkProcess();
    events->setMessageHandler(std::move(handler));
}

void SDK::on_connection(ConnectionHandler handler) {
    checkProcess();
    events->setConnectionHandler(std::move(handler));
}

void SDK::messageArrived(std::string topic, std::string payload) {
    events->pushMessage(std::move(topic), std::move(payload));
}
