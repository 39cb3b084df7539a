#include "bluetooth/bluez/bluez_platform.h"

#include <string>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

// ---------------------------------------------------------------------------------------
// Construction, managers

BluezBinding::BluezBinding(runtime::EventLoop& loop, BluezOptions options)
    : loop_(loop),
      options_(options),
      reconnectBackoffS_(options.backoffFirstS),
      retryBackoffS_(options.backoffFirstS),
      radio_(options.radio),
      monitorObject_([this](std::string_view sender) { return isBluez(sender); }, [this] { monitorActivated(); },
                     [this] { monitorReleased(); }),
      reconnectAlarm_(loop.get(), [this] { connect(); }),
      teardownAlarm_(loop.get(), [this] { connectionFailed(); }),
      publishAlarm_(loop.get(),
                    [this] {
                        for (BluezCentral* c : centrals_)
                            c->fresh = false;
                        for (BluezPeripheral* p : peripherals_)
                            p->fresh = false;
                        update();
                    }),
      retryAlarm_(loop.get(), [this] { retry(); }),
      discoveryAlarm_(loop.get(), [this] { ensureDiscovery(true); }),
      rediscoverAlarm_(loop.get(), [this] { rediscover(); }),
      settleAlarm_(loop.get(),
                   [this] {
                       settled_ = true;
                       selectAdapter();
                       update();
                   }),
      powerAlarm_(loop.get(), [this] { powerOn(); }),
      graceAlarm_(loop.get(),
                  [this] {
                      selectAdapter();
                      update();
                  }) {
    radioTimer_ = loop_.repeating(options_.radioCheckIntervalS, [this] { watchRadio(); });
    connect();
}

BluezBinding::~BluezBinding() {
    // Cancel every call and match before the connection goes.
    dropConnection();
}

void BluezBinding::add(BluezCentral& central) {
    centrals_.push_back(&central);
    publishAlarm_.arm(0);
}

void BluezBinding::remove(BluezCentral& central) {
    centrals_.erase(std::remove(centrals_.begin(), centrals_.end(), &central), centrals_.end());
}

void BluezBinding::add(BluezPeripheral& peripheral) {
    peripherals_.push_back(&peripheral);
    publishAlarm_.arm(0);
}

void BluezBinding::remove(BluezPeripheral& peripheral) {
    peripherals_.erase(std::remove(peripherals_.begin(), peripherals_.end(), &peripheral), peripherals_.end());
}

// ---------------------------------------------------------------------------------------
// BluezPlatform

BluezPlatform::BluezPlatform(runtime::EventLoop& loop, BluezOptions options)
    : binding_(std::make_unique<BluezBinding>(loop, options)) {}

BluezPlatform::~BluezPlatform() = default;

std::unique_ptr<CentralManager> BluezPlatform::makeCentralManager(CentralManagerDelegate& delegate) {
    return std::make_unique<BluezCentral>(*binding_, delegate);
}

std::unique_ptr<PeripheralManager> BluezPlatform::makePeripheralManager(PeripheralManagerDelegate& delegate) {
    static unsigned next = 0;
    return std::make_unique<BluezPeripheral>(*binding_, delegate, "/org/brelo/advertisement" + std::to_string(next++));
}

Authorization BluezPlatform::authorization() const { return binding_->authorization(); }

void BluezPlatform::reportWindowBegan() { binding_->windowBegan(); }

std::string BluezPlatform::radioNote() const { return binding_->radioNote(); }

}  // namespace brelo::bluetooth::bluez
