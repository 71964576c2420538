// The broker's version-5 plug-in interface, from Debian's mosquitto-dev and
// libmosquitto-dev (Mosquitto 2.0.11). A library built on these headers loads
// on 2.1 too; anything only 2.1 has is looked up at run time, never linked.
#pragma once

// Everything is built hidden; the entry points these headers declare are the
// ones to export (the version script names them).
#pragma GCC visibility push(default)
#include <mosquitto_broker.h>  // first: the plug-in header uses its types
#include <mosquitto_plugin.h>
#include <mosquitto.h>
#pragma GCC visibility pop
