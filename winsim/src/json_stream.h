// JSON text read as a stream of members: each member of the top-level object
// becomes a tree of its own, handed over when it is complete, and one array
// member may be handed over an element at a time instead, so that a large
// description is never one tree in memory.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace winsim {

class TopLevelReceiver {
public:
    virtual ~TopLevelReceiver() = default;
    // A member of the object, whole.  A later member of the same name
    // replaces an earlier one, as a parsed tree keeps the last.
    virtual void Member(const std::string &key, nlohmann::json value) = 0;
    // The streamed member's array begins; its elements follow in order.
    virtual void StreamedMember(const std::string &key) = 0;
    virtual void Element(size_t index, nlohmann::json value) = 0;
};

// Parses the text (comments allowed, nothing after the value), handing the
// top-level object's members to 'receiver'; the member named 'streamed',
// when it is an array, element by element.  False when the text is JSON but
// not an object (nothing is handed over then).  Text that is not JSON throws
// the library's exception, as nlohmann::json::parse does.
bool ParseTopLevel(const std::string &text, TopLevelReceiver &receiver, std::string_view streamed);
bool ParseTopLevel(std::istream &in, TopLevelReceiver &receiver, std::string_view streamed);

}  // namespace winsim
