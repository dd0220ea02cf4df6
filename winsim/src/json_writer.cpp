// JSON text in nlohmann's dump(2) layout; see json_writer.h.
#include "json_writer.h"

#include <nlohmann/json.hpp>

#include "core_internal.h"

namespace winsim {

void JsonWriter::Key(std::string_view name)
{
    NewLine();
    Escaped(name);
    out_ += ": ";
    afterKey_ = true;
}

void JsonWriter::String(std::string_view text)
{
    BeforeValue();
    Escaped(text);
}

void JsonWriter::Begin(char open)
{
    BeforeValue();
    out_ += open;
    counts_.push_back(0);
}

void JsonWriter::End(char close)
{
    const size_t count = counts_.back();
    counts_.pop_back();
    if (count > 0) {
        out_ += '\n';
        out_.append(2 * counts_.size(), ' ');
    }
    out_ += close;
}

void JsonWriter::BeforeValue()
{
    if (afterKey_)
        afterKey_ = false;
    else if (!counts_.empty())
        NewLine();   // an element of an array
}

void JsonWriter::Flush()
{
    if (!sink_ || out_.empty())
        return;
    sink_(out_);
    out_.clear();
}

void JsonWriter::NewLine()
{
    if (sink_ && out_.size() >= kSpillBytes)
        Flush();
    out_ += counts_.back()++ > 0 ? ",\n" : "\n";
    out_.append(2 * counts_.size(), ' ');
}

void JsonWriter::Raw(std::string_view text)
{
    BeforeValue();
    out_ += text;
}

void JsonWriter::Escaped(std::string_view text)
{
    if (!ValidUtf8(text)) {
        // Broken UTF-8 is written as the library writes it, with U+FFFD.
        out_ += nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return;
    }
    static const char hex[] = "0123456789abcdef";
    out_ += '"';
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\b': out_ += "\\b"; break;
        case '\f': out_ += "\\f"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        default:
            if (byte < 0x20) {
                out_ += "\\u00";
                out_ += hex[byte >> 4];
                out_ += hex[byte & 0xF];
            } else {
                out_ += c;
            }
        }
    }
    out_ += '"';
}

}  // namespace winsim
