#pragma once

#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// Who owns org.bluez on the bus, as last learnt from the bus daemon (GetNameOwner, then
// NameOwnerChanged). Only what the owner sends counts as BlueZ's word.
class BluezOwner {
public:
    explicit BluezOwner(BluezBinding& binding) : binding_(binding) {}

    // A new owner, or none (""): nothing the old one told us holds any more; a new one is
    // asked for its objects.
    void set(std::string owner);
    // The connection went: the owner is unknown until the bus says again.
    void forget();

    bool known() const { return known_; }
    const std::string& name() const { return name_; }  // empty while org.bluez has no owner
    bool hadOne() const { return hadOne_; }  // org.bluez had an owner since the start
    bool is(std::string_view sender) const { return !name_.empty() && sender == name_; }
    bool sent(sd_bus_message* m) const;

private:
    BluezBinding& binding_;
    bool known_ = false;
    std::string name_;
    bool hadOne_ = false;
};

}  // namespace brelo::bluetooth::bluez
