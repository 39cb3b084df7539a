#pragma once

#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// The kinds of request BlueZ (or the bus policy) can refuse us.
enum class Access : unsigned { objects = 1, discovery = 2, advertising = 4 };

// What BlueZ refused us, one bit per kind of request, so that one kind succeeding does not
// hide another still refused; and the retry, with back-off, of whatever is still missing
// after a refusal or a failed call.
class AccessRefusals {
public:
    explicit AccessRefusals(BluezBinding& binding);

    void refused(Access what);
    void accepted(Access what);
    bool anyDenied() const { return denied_ != 0; }
    bool denied(Access what) const { return denied_ & static_cast<unsigned>(what); }
    // A refusal of this kind waits for its retry.
    bool retryPending(Access what) const { return denied(what) && alarm_.armed(); }
    // A call failed for another reason: everything missing is asked for again later.
    void retryLater();
    // BlueZ answered: the next failure waits the shortest time again.
    void answered();
    // A new owner of org.bluez: nothing it refused before counts.
    void reset();

private:
    void retry();

    BluezBinding& binding_;
    unsigned denied_ = 0;
    double backoffS_;
    runtime::Alarm alarm_;
};

}  // namespace brelo::bluetooth::bluez
