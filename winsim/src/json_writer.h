// JSON text written as it is produced, in the layout of nlohmann's
// dump(2): two spaces a level, one member or element a line, "{}" and "[]"
// for empty ones, UTF-8 as is with control characters escaped.  Saving a
// machine writes its description this way instead of building a JSON tree
// and dumping it; with a sink, the text goes on to it a piece at a time, so
// that a large machine's description is never whole in memory.
#pragma once

#include <charconv>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace winsim {

class JsonWriter {
public:
    // Text goes to the end of 'out'.
    explicit JsonWriter(std::string &out) : out_(out) {}
    // Text goes to the sink: 'buffer' collects it and is handed over, then
    // emptied, whenever it passes kSpillBytes between two members or
    // elements, and by Flush.
    using Sink = std::function<void(std::string_view)>;
    static constexpr size_t kSpillBytes = 1 << 16;
    JsonWriter(std::string &buffer, Sink sink) : out_(buffer), sink_(std::move(sink)) {}
    // Hands what is buffered to the sink (without one, does nothing).
    void Flush();

    void BeginObject() { Begin('{'); }
    void EndObject() { End('}'); }
    void BeginArray() { Begin('['); }
    void EndArray() { End(']'); }

    // The name of the next member of the object being written.
    void Key(std::string_view name);

    void String(std::string_view text);
    void Bool(bool value) { Raw(value ? "true" : "false"); }
    template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
    void Number(Integer value)
    {
        static_assert(!std::is_same_v<Integer, bool>, "Bool writes a flag");
        char digits[24];
        Raw(std::string_view(digits, static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr -
                                                         digits)));
    }

    // A member with its value.
    void Member(std::string_view name, std::string_view text)
    {
        Key(name);
        String(text);
    }
    template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
    void Member(std::string_view name, Integer value)
    {
        Key(name);
        Number(value);
    }
    void Flag(std::string_view name, bool value)
    {
        Key(name);
        Bool(value);
    }

private:
    void Begin(char open);
    void End(char close);
    // Where a value starts: after its key, or on a line of its own in an array.
    void BeforeValue();
    void NewLine();
    void Raw(std::string_view text);
    void Escaped(std::string_view text);

    std::string &out_;
    Sink sink_;
    std::vector<size_t> counts_;   // members or elements written, one a level
    bool afterKey_ = false;
};

}  // namespace winsim
