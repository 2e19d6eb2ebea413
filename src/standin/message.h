/* One message of the stand-in libsolclient, as the library keeps it, and its text dump. */
#ifndef ZELMSG_STANDIN_MESSAGE_H
#define ZELMSG_STANDIN_MESSAGE_H

#include "solclient.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct StoredDestination {
    solClient_destinationType_t type;  // Topic or Queue: temporary kinds are kept as these
    std::string name;
};

// A user property map. The library can only add strings to a map, so every entry is one.
class PropertyMap {
public:
    struct Entry {
        std::string name;
        std::string value;
    };

    const std::string *find(std::string_view name) const;
    // Adds the entry, or replaces the value of the one with that name.
    void put(std::string_view name, std::string_view value);
    const std::vector<Entry> &entries() const { return entries_; }

private:
    std::vector<Entry> entries_;  // in the order first added, which the dump shows
};

struct Message {
    std::optional<StoredDestination> destination;
    std::optional<StoredDestination> reply_to;
    std::optional<std::string> http_content_type;
    std::optional<PropertyMap> user_properties;
    std::vector<unsigned char> attachment;  // empty means none
    solClient_uint32_t delivery_mode = SOLCLIENT_DELIVERY_MODE_DIRECT;
    solClient_uint32_t class_of_service = 0;
    bool reply = false;
    bool eliding_eligible = false;
};

// Writes the message's text form into buffer: at most size - 2 bytes of it, then a NUL.
// size must not be 0.
void dump(const Message &message, char *buffer, std::size_t size);

}  // namespace standin

#endif
