#include "listener/names_cache.h"

namespace brelo::listener {

void NamesCache::put(const bluetooth::Uuid& id, std::string name) {
    if (capacity_ == 0)
        return;
    if (auto it = index_.find(id); it != index_.end()) {
        it->second->name = std::move(name);
        order_.splice(order_.begin(), order_, it->second);
        return;
    }
    if (index_.size() >= capacity_) {
        index_.erase(order_.back().id);
        order_.pop_back();
    }
    order_.push_front(Entry{id, std::move(name)});
    index_.emplace(id, order_.begin());
}

const std::string* NamesCache::find(const bluetooth::Uuid& id) const {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : &it->second->name;
}

}  // namespace brelo::listener
