#include "bluetooth/brelo_ids.h"

namespace brelo::bluetooth {

const Uuid& houseBreloService() {
    static const Uuid uuid = *Uuid::parse("7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8");
    return uuid;
}

const Uuid& listenerBeaconService() {
    static const Uuid uuid = *Uuid::parse("7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8");
    return uuid;
}

}  // namespace brelo::bluetooth
