#include "bus_client.h"

#include <cstdio>
#include <stdexcept>
#include <time.h>

namespace brelo::test {
namespace {

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads a{sv} into name -> text.
std::map<std::string, std::string> readProperties(sd_bus_message* m) {
    std::map<std::string, std::string> out;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
        return out;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* name = nullptr;
        sd_bus_message_read(m, "s", &name);
        out[name] = BusClient::describeVariant(m);
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return out;
}

std::string joinKeys(const std::map<std::string, std::string>& props) {
    std::string out;
    for (auto& [k, v] : props)
        out += (out.empty() ? "" : ",") + k + "=" + v;
    return out;
}

}  // namespace

BusClient::BusClient(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        throw std::runtime_error("sd_bus_new failed");
    bus_.reset(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0)
        throw std::runtime_error("cannot connect to " + address);
}

std::string BusClient::uniqueName() const {
    const char* name = nullptr;
    sd_bus_get_unique_name(bus_.get(), &name);
    return name ? name : "";
}

BusClient::Result BusClient::call(const std::string& path, const std::string& interface, const std::string& member,
                                  const Append& append, const std::string& destination) {
    Result result;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus_.get(), &raw, destination.c_str(), path.c_str(), interface.c_str(),
                                       member.c_str()) < 0)
        throw std::runtime_error("cannot make a call message");
    runtime::MessagePtr m{raw};
    if (append && append(m.get()) < 0)
        throw std::runtime_error("cannot append the arguments of " + member);
    bool done = false;
    sd_bus_slot* slot = nullptr;
    struct Pending {
        Result* result;
        bool* done;
    } pending{&result, &done};
    auto onReply = [](sd_bus_message* reply, void* userdata, sd_bus_error*) -> int {
        auto* p = static_cast<Pending*>(userdata);
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            const sd_bus_error* e = sd_bus_message_get_error(reply);
            p->result->error = e && e->name ? e->name : "?";
            p->result->message = e && e->message ? e->message : "";
        }
        p->result->reply.reset(sd_bus_message_ref(reply));
        *p->done = true;
        return 0;
    };
    if (sd_bus_call_async(bus_.get(), &slot, m.get(), onReply, &pending, 10 * 1000 * 1000) < 0)
        throw std::runtime_error("cannot send " + member);
    runtime::SlotPtr owned{slot};
    if (!pumpUntil([&] { return done; }, 12s))
        result.error = "(no answer)";
    return result;
}

std::string BusClient::property(const std::string& path, const std::string& interface, const std::string& name) {
    Result r = call(path, "org.freedesktop.DBus.Properties", "Get", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "ss", interface.c_str(), name.c_str());
    });
    if (!r.ok())
        return "<" + r.error + ">";
    return describeVariant(r.reply.get());
}

void BusClient::recordSignals(const std::string& sender) {
    std::string rule = "type='signal'";
    if (!sender.empty())
        rule += ",sender='" + sender + "'";
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_match(bus_.get(), &slot, rule.c_str(), &BusClient::onSignal, this) < 0)
        throw std::runtime_error("cannot add a match");
    matches_.emplace_back(slot);
}

int BusClient::onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusClient*>(userdata);
    std::string member = sd_bus_message_get_member(m) ? sd_bus_message_get_member(m) : "";
    std::string path = sd_bus_message_get_path(m) ? sd_bus_message_get_path(m) : "";
    std::string sender = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
    std::string text = member + " " + path + " from=" + sender;
    if (member == "PropertiesChanged") {
        const char* iface = nullptr;
        sd_bus_message_read(m, "s", &iface);
        text += std::string(" ") + (iface ? iface : "") + " changed=" + joinKeys(readProperties(m)) + " invalidated=";
        if (sd_bus_message_enter_container(m, 'a', "s") >= 0) {
            const char* s = nullptr;
            std::string names;
            while (sd_bus_message_read(m, "s", &s) > 0) {
                if (!names.empty())
                    names += ',';
                names += s;
            }
            text += names;
        }
    } else if (member == "InterfacesAdded") {
        const char* object = nullptr;
        sd_bus_message_read(m, "o", &object);
        text = member + " " + (object ? object : "") + " from=" + sender;
        if (sd_bus_message_enter_container(m, 'a', "{sa{sv}}") >= 0)
            while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
                const char* iface = nullptr;
                sd_bus_message_read(m, "s", &iface);
                auto props = readProperties(m);
                if (!props.empty())
                    text += std::string(" ") + iface + "{" + joinKeys(props) + "}";
                sd_bus_message_exit_container(m);
            }
    } else if (member == "InterfacesRemoved") {
        const char* object = nullptr;
        sd_bus_message_read(m, "o", &object);
        text = member + " " + (object ? object : "") + " from=" + sender;
    }
    self->signals_.push_back(text);
    return 0;
}

bool BusClient::pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    int64_t deadline = nowMs() + timeout.count();
    while (!pred()) {
        int r = sd_bus_process(bus_.get(), nullptr);
        if (r < 0)
            return pred();
        if (r > 0)
            continue;
        int64_t left = deadline - nowMs();
        if (left <= 0)
            return pred();
        sd_bus_wait(bus_.get(), static_cast<uint64_t>(std::min<int64_t>(left, 200)) * 1000);
    }
    return true;
}

std::string BusClient::describeVariant(sd_bus_message* m) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents)
        return "<?>";
    std::string sig = contents;
    std::string out;
    if (sig == "s" || sig == "o") {
        const char* s = nullptr;
        sd_bus_message_read(m, "v", sig.c_str(), &s);
        return s ? s : "";
    }
    if (sig == "b") {
        int b = 0;
        sd_bus_message_read(m, "v", "b", &b);
        return b ? "true" : "false";
    }
    if (sig == "n") {
        int16_t v = 0;
        sd_bus_message_read(m, "v", "n", &v);
        return std::to_string(v);
    }
    if (sig == "q") {
        uint16_t v = 0;
        sd_bus_message_read(m, "v", "q", &v);
        return std::to_string(v);
    }
    if (sig == "y") {
        uint8_t v = 0;
        sd_bus_message_read(m, "v", "y", &v);
        return std::to_string(v);
    }
    if (sig == "u") {
        uint32_t v = 0;
        sd_bus_message_read(m, "v", "u", &v);
        return std::to_string(v);
    }
    if (sig == "as") {
        sd_bus_message_enter_container(m, 'v', "as");
        sd_bus_message_enter_container(m, 'a', "s");
        const char* s = nullptr;
        while (sd_bus_message_read(m, "s", &s) > 0) {
            if (!out.empty())
                out += ',';
            out += s;
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
        return out;
    }
    if (sig == "a{qv}") {
        // company:hex per entry
        sd_bus_message_enter_container(m, 'v', "a{qv}");
        sd_bus_message_enter_container(m, 'a', "{qv}");
        while (sd_bus_message_enter_container(m, 'e', "qv") > 0) {
            uint16_t company = 0;
            sd_bus_message_read(m, "q", &company);
            char head[8];
            std::snprintf(head, sizeof head, "%04x:", company);
            std::string entry = head;
            const void* data = nullptr;
            size_t size = 0;
            if (sd_bus_message_enter_container(m, 'v', "ay") >= 0) {
                sd_bus_message_read_array(m, 'y', &data, &size);
                for (size_t i = 0; i < size; ++i) {
                    char hex[3];
                    std::snprintf(hex, sizeof hex, "%02x", static_cast<const uint8_t*>(data)[i]);
                    entry += hex;
                }
                sd_bus_message_exit_container(m);
            } else {
                sd_bus_message_skip(m, "v");
                entry += "<not ay>";
            }
            out += (out.empty() ? "" : ",") + entry;
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
        return out;
    }
    sd_bus_message_skip(m, "v");
    return "<" + sig + ">";
}

ManagedObjects managedObjects(BusClient& client) {
    ManagedObjects out;
    auto r = client.call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    if (!r.ok())
        throw std::runtime_error("GetManagedObjects: " + r.error);
    sd_bus_message* m = r.reply.get();
    sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
        const char* path = nullptr;
        sd_bus_message_read(m, "o", &path);
        auto& object = out[path];
        sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
        while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
            const char* iface = nullptr;
            sd_bus_message_read(m, "s", &iface);
            object[iface] = readProperties(m);
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
    }
    return out;
}

}  // namespace brelo::test
