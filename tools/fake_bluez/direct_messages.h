#pragma once

#include <optional>

#include <systemd/sd-bus.h>

#include "output.h"
#include "script.h"
#include "script_runner.h"

namespace brelo::fakebluez {

// Messages addressed to one client's unique name instead of broadcast. The bus delivers
// such a signal whatever the client's match rules say, so only the client's own check of
// the sender stands between it and a connection that does not own org.bluez.
//
//   to DEST device hciN ADDR rssi=N [name=TEXT]
//       InterfacesAdded of a device carrying an RSSI, sent to DEST alone.
//   call-release DEST PATH
//       Calls org.bluez.LEAdvertisement1.Release on DEST's object PATH; the answer is
//       printed as "release answered DEST PATH ERROR-NAME" (or "ok").
//
// Returns nothing when the line is not one of these commands.
std::optional<Outcome> directCommand(sd_bus* bus, Output& out, const ScriptLine& line);

}  // namespace brelo::fakebluez
