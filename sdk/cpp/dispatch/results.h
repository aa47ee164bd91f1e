#pragma once

#include "brindle/backend.h"
#include "protocol/item_record.h"

#include <optional>
#include <string>
#include <string_view>

namespace brindle::sdk {

// A backend's result that cannot go out as it is: EIO whose message names the method and the
// problem ("lookup: the handler's node id is 0"), logged as an error.
Error handlerFault(std::string_view method, std::string_view problem);

// Where the request puts an item: the parent and name it asked about.
struct Place {
    NodeId parent = 0;
    std::string_view name;
};

// The wire record of `item`. With a place, the record carries that place; without, the item's own
// parent and name, which must be UTF-8. A node id of 0, one the backend never issued, a type
// outside the seven, or a time whose nanoseconds are not 0 to 999,999,999 is a handler fault.
Result<wire::ItemRecord> itemRecord(std::string_view method, const Backend& backend, const Item& item,
                                    const std::optional<Place>& place);
// The record of an item that must be `node`'s own, with its own parent and name.
Result<wire::ItemRecord> recordOf(const Call& call, const Backend& backend, NodeId node, const Result<Item>& item);

}  // namespace brindle::sdk
