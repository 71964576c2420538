// The two functions only Mosquitto 2.1 exports, for a test executable that
// stands in for that broker: linked in, they are what the library finds at
// start (dlsym), and it then takes the broker for 2.1. Each hands over to
// the test's broker (fake::Broker::complete, session_of); unset, they find
// nothing, as 2.1 does for an id it holds nothing under.
#include "fake_broker.h"

extern "C" {

// 2.1: completes the login parked under clientid, whichever connection now waits there.
void mosquitto_complete_basic_auth(const char *clientid, int result) {
    if (clientid && fake::broker().complete) fake::broker().complete(clientid, result);
}

// 2.1: the session held under clientid (connected or not), or null.
struct mosquitto *mosquitto_client(const char *clientid) {
    if (!clientid || !*clientid || !fake::broker().session_of) return nullptr;
    return fake::broker().session_of(clientid);
}

}  // extern "C"
