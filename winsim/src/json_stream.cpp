// The top-level object's members, one tree each, from the parser's events;
// see json_stream.h.
#include "json_stream.h"

#include <utility>
#include <vector>

namespace winsim {

namespace {

using json = nlohmann::json;

// One value's tree, put together from its events as the library's own
// parser does: a repeated key in an object keeps its last value.
class TreeBuilder {
public:
    bool Building() const { return !open_.empty(); }

    // A scalar, or (Open) an empty container whose contents follow.  The
    // value is placed in the innermost open container, or is the tree.
    void Place(json value)
    {
        Slot() = std::move(value);
    }
    void Open(json container)
    {
        json &slot = Slot();
        slot = std::move(container);
        open_.push_back(&slot);
    }
    void Key(std::string key) { key_ = std::move(key); }
    void Close() { open_.pop_back(); }
    json Take() { return std::move(tree_); }

private:
    json &Slot()
    {
        if (open_.empty())
            return tree_;
        json &parent = *open_.back();
        if (parent.is_array()) {
            parent.push_back(nullptr);
            return parent.back();
        }
        return parent[key_];
    }

    json tree_;
    std::vector<json *> open_;   // the containers being filled, innermost last
    std::string key_;
};

// The parser's events for the whole text.  Depth 0 is outside the
// top-level value, 1 inside its object, 2 inside one of its members.
class TopLevelEvents {
public:
    TopLevelEvents(TopLevelReceiver &receiver, std::string_view streamed) : receiver_(receiver), streamed_(streamed)
    {
    }

    bool IsObject() const { return isObject_; }

    bool null() { return Scalar(nullptr); }
    bool boolean(bool value) { return Scalar(value); }
    bool number_integer(json::number_integer_t value) { return Scalar(value); }
    bool number_unsigned(json::number_unsigned_t value) { return Scalar(value); }
    bool number_float(json::number_float_t value, const std::string &) { return Scalar(value); }
    bool string(std::string &value) { return Scalar(std::move(value)); }
    bool binary(json::binary_t &value) { return Scalar(json::binary(std::move(value))); }

    bool start_object(std::size_t) { return Open(json::object(), false); }
    bool start_array(std::size_t) { return Open(json::array(), true); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }

    bool key(std::string &key)
    {
        if (depth_ == 1)
            key_ = std::move(key);
        else if (tree_.Building())
            tree_.Key(std::move(key));
        return true;
    }

    template <typename Exception>
    bool parse_error(std::size_t, const std::string &, const Exception &error)
    {
        throw error;
    }

private:
    bool Scalar(json value)
    {
        if (depth_ == 0)
            return true;   // a top-level value that is no object
        if (tree_.Building())
            tree_.Place(std::move(value));
        else if (streaming_)
            receiver_.Element(index_++, std::move(value));
        else if (depth_ == 1 && isObject_)
            receiver_.Member(key_, std::move(value));
        return true;
    }

    bool Open(json container, bool isArray)
    {
        const size_t depth = depth_++;
        if (depth == 0) {
            isObject_ = !isArray;
            return true;
        }
        if (!isObject_)
            return true;
        if (tree_.Building() || depth == 2 || !(isArray && key_ == streamed_)) {
            tree_.Open(std::move(container));
            return true;
        }
        streaming_ = true;
        index_ = 0;
        receiver_.StreamedMember(key_);
        return true;
    }

    bool Close()
    {
        const size_t depth = --depth_;
        if (!isObject_ || depth == 0)
            return true;
        if (tree_.Building()) {
            tree_.Close();
            if (!tree_.Building()) {
                if (streaming_)
                    receiver_.Element(index_++, tree_.Take());
                else
                    receiver_.Member(key_, tree_.Take());
            }
        } else if (streaming_) {
            streaming_ = false;   // the streamed array ends
        }
        return true;
    }

    TopLevelReceiver &receiver_;
    std::string_view streamed_;
    size_t depth_ = 0;
    bool isObject_ = false;
    std::string key_;          // the member being read
    bool streaming_ = false;   // inside the streamed member's array
    size_t index_ = 0;         // of the next element there
    TreeBuilder tree_;
};

template <typename Input>
bool Parse(Input &&input, TopLevelReceiver &receiver, std::string_view streamed)
{
    TopLevelEvents events(receiver, streamed);
    json::sax_parse(std::forward<Input>(input), &events, json::input_format_t::json, /*strict=*/true,
                    /*ignore_comments=*/true);
    return events.IsObject();
}

}  // namespace

bool ParseTopLevel(const std::string &text, TopLevelReceiver &receiver, std::string_view streamed)
{
    return Parse(text, receiver, streamed);
}

bool ParseTopLevel(std::istream &in, TopLevelReceiver &receiver, std::string_view streamed)
{
    return Parse(in, receiver, streamed);
}

}  // namespace winsim
