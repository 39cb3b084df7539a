#pragma once

#include "reporting/sighting.h"

namespace brelo::listener {

// What the current batch knows about one peripheral: ingest fills it, the flush reads it.
using Seen = reporting::Sighting;

}  // namespace brelo::listener
