#pragma once

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

#include "bluetooth/uuid.h"

namespace brelo::listener {

// The latest non-empty name heard for each peripheral identifier, bounded: it keeps the
// identifiers most recently heard with a name and forgets the least recently heard beyond
// the bound. Phones rotate their addresses every few minutes, so without a bound a node
// that runs for months would grow for ever.
class NamesCache {
public:
    explicit NamesCache(size_t capacity) : capacity_(capacity) {}

    // Sets the name for id and marks id as the most recently heard.
    void put(const bluetooth::Uuid& id, std::string name);
    // The name kept for id, if any. Does not change the recency order.
    const std::string* find(const bluetooth::Uuid& id) const;

    size_t size() const { return index_.size(); }
    bool empty() const { return index_.empty(); }
    size_t capacity() const { return capacity_; }

private:
    struct Entry {
        bluetooth::Uuid id;
        std::string name;
    };
    size_t capacity_;
    std::list<Entry> order_;  // most recently heard first
    std::unordered_map<bluetooth::Uuid, std::list<Entry>::iterator, bluetooth::UuidHash> index_;
};

}  // namespace brelo::listener
