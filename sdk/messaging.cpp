// Publishing, subscriptions, the handler setters and inbound messages.
#include "sdk.h"

#include "events.h"
#include "log.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

constexpr auto kCompletionTimeout = std::chrono::milliseconds(10000);

// The library passes some out-of-range levels to the wire, where the broker answers
// with a disconnect; they are refused here with the library's own code instead.
bool validQos(int qos) { return qos >= 0 && qos <= 2; }

std::string failedOn(const char *operation, const std::string &topic, int rc) {
    return std::string("[SDK] ") + operation + " failed on '" + topic + "', rc=" +
           std::to_string(rc);
}

}  // namespace

void SDK::publish(const std::string &topic, const std::string &payload, int qos, bool retained) {
    checkProcess();
    tarnu::MethodScope scope;
    std::lock_guard<std::mutex> op(opMutex);
    if (!connected) {
        tarnu::log::err("[SDK] publish \u2014 not connected");
        return;
    }
    if (!validQos(qos)) {
        tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_BAD_QOS));
        return;
    }
    if (payload.size() > static_cast<std::size_t>(INT_MAX)) {
        // The library's length field cannot hold it; refuse rather than truncate.
        tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_BAD_STRUCTURE));
        return;
    }
    MQTTClient_message message = MQTTClient_message_initializer;
    message.payloadlen = static_cast<int>(payload.size());
    message.payload = const_cast<char *>(payload.data());
    message.qos = qos;
    message.retained = retained ? 1 : 0;
    MQTTClient_deliveryToken token = 0;  // stays 0 at QoS 0: nothing to wait for
    const std::uint64_t lossesBefore = losses.load();
    if (qos != 0) {
        std::lock_guard<std::mutex> lock(deliveryMutex);
        delivered.clear();  // publishes are serialised: anything recorded is stale
    }
    int rc = MQTTClient_publishMessage(client, topic.c_str(), &message, &token);
    if (rc != MQTTCLIENT_SUCCESS) {
        tarnu::log::err(failedOn("publish", topic, rc));
        return;
    }
    if (token != 0) {
        waitForDelivery(token, lossesBefore);
    }
}

void SDK::waitForDelivery(MQTTClient_deliveryToken token, std::uint64_t lossesBefore) {
    // Ends when the library has finished with the message (its delivery-complete
    // callback), when the connection is lost, or after the timeout.
    const auto deadline = std::chrono::steady_clock::now() + kCompletionTimeout;
    std::unique_lock<std::mutex> lock(deliveryMutex);
    for (;;) {
        if (std::find(delivered.begin(), delivered.end(), token) != delivered.end()) {
            return;
        }
        if (losses.load() != lossesBefore || !connected) {
            return;
        }
        if (deliveryCv->wait_until(lock, deadline) == std::cv_status::timeout) {
            return;
        }
    }
}

void SDK::deliveryComplete(MQTTClient_deliveryToken token) {
    std::lock_guard<std::mutex> lock(deliveryMutex);
    delivered.push_back(token);
    deliveryCv->notify_all();
}

bool SDK::subscribe(const std::string &topic, int qos) {
    checkProcess();
    tarnu::MethodScope scope;
    std::lock_guard<std::mutex> op(opMutex);
    if (!connected) {
        tarnu::log::err("[SDK] subscribe \u2014 not connected");
        return false;
    }
    int rc = validQos(qos) ? MQTTClient_subscribe(client, topic.c_str(), qos) : MQTTCLIENT_BAD_QOS;
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
    std::lock_guard<std::mutex> op(opMutex);
    if (!connected) {
        tarnu::log::err("[SDK] unsubscribe \u2014 not connected");
        return;
    }
    int rc = MQTTClient_unsubscribe(client, topic.c_str());
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
