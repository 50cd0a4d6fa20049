// The library's three callbacks and the contexts they report under.
//
// The library is given a numeric context per client handle, never the object's
// address: a callback that races with the client's teardown (or comes late from a
// client that init has replaced) finds no object and drops its event, instead of
// reaching freed memory.
#pragma once

#include "sdk.h"

#include <cstdint>

namespace tarnu::callbacks {

// A new context for `client`, to be given to MQTTClient_setCallbacks.
std::uintptr_t attach(SDK *client);
// Ends a context: afterwards no callback reaches the object through it. Waits for
// callbacks that are already inside the object. (The library may still be using the
// handle itself for a moment: paho_workarounds/handle_used_after_callback.cpp retires it.)
void detach(std::uintptr_t context);

void connectionLost(void *context, char *cause);
int messageArrived(void *context, char *topicName, int topicLen, MQTTClient_message *message);
void deliveryComplete(void *context, MQTTClient_deliveryToken token);

}  // namespace tarnu::callbacks
