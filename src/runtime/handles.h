#pragma once

#include <memory>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace brelo::runtime {

// Owning pointers for libsystemd handles. Stateless deleters, so no size overhead.
template <auto Fn>
struct Unref {
    template <class T>
    void operator()(T* p) const noexcept {
        Fn(p);
    }
};

using EventPtr = std::unique_ptr<sd_event, Unref<sd_event_unref>>;
// disable_unref: a source that someone else still references could otherwise still fire.
using SourcePtr = std::unique_ptr<sd_event_source, Unref<sd_event_source_disable_unref>>;
using BusPtr = std::unique_ptr<sd_bus, Unref<sd_bus_flush_close_unref>>;
using MessagePtr = std::unique_ptr<sd_bus_message, Unref<sd_bus_message_unref>>;
using SlotPtr = std::unique_ptr<sd_bus_slot, Unref<sd_bus_slot_unref>>;

}  // namespace brelo::runtime
