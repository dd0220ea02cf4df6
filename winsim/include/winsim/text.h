// Text of the machine model: UTF-16 as the platform holds it, compared
// without ASCII case as the setup library and the registry compare names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/windows.h"

namespace winsim {

using Text = std::u16string;

// ASCII-only case folding (a to z become A to Z).
Text Fold(const Text &text);
bool EqualNoCase(const Text &a, const Text &b);
// Whether a list holds a text, whatever its ASCII case.
bool ContainsNoCase(const std::vector<Text> &list, const Text &text);
std::string Narrow(const Text &text);   // UTF-16 to UTF-8
Text Widen(const std::string &utf8);    // UTF-8 to UTF-16
std::string GuidToString(const GUID &guid);            // "{4D36E97B-E325-...}"
std::optional<GUID> GuidFromString(const std::string &text);
// UTF-8: the code point of one well-formed sequence at 'at' (< bytes.size())
// and its length in bytes; nothing for a broken, overlong or surrogate one,
// or one past U+10FFFF.
struct Utf8Sequence {
    uint32_t codePoint;
    size_t length;
};
std::optional<Utf8Sequence> NextUtf8(std::string_view bytes, size_t at);

// A list of texts that does not change: a new list replaces it whole, and
// copies share one list.  A device's IDs are such lists; the many disks of
// a storage server carry the same few, each then held once.  It reads as
// the std::vector<Text> it holds.
class TextList {
public:
    using value_type = Text;
    using const_iterator = std::vector<Text>::const_iterator;
    using iterator = const_iterator;

    TextList() = default;
    TextList(std::vector<Text> texts);   // implicit: a vector of texts is a list
    TextList(std::initializer_list<Text> texts) : TextList(std::vector<Text>(texts)) {}

    const std::vector<Text> &Texts() const { return texts_ ? *texts_ : Empty(); }
    operator const std::vector<Text> &() const { return Texts(); }

    const_iterator begin() const { return Texts().begin(); }
    const_iterator end() const { return Texts().end(); }
    size_t size() const { return Texts().size(); }
    bool empty() const { return Texts().empty(); }
    const Text &operator[](size_t index) const { return Texts()[index]; }
    const Text &front() const { return Texts().front(); }
    const Text &back() const { return Texts().back(); }

    // Whether two lists are the very same one (then also equal).
    bool SharedWith(const TextList &other) const { return texts_ == other.texts_; }

private:
    static const std::vector<Text> &Empty();

    std::shared_ptr<const std::vector<Text>> texts_;   // null: the empty list
};

inline bool operator==(const TextList &a, const TextList &b) { return a.Texts() == b.Texts(); }
inline bool operator!=(const TextList &a, const TextList &b) { return !(a == b); }
inline bool operator==(const TextList &a, const std::vector<Text> &b) { return a.Texts() == b; }
inline bool operator==(const std::vector<Text> &a, const TextList &b) { return a == b.Texts(); }
inline bool operator!=(const TextList &a, const std::vector<Text> &b) { return !(a == b); }
inline bool operator!=(const std::vector<Text> &a, const TextList &b) { return !(a == b); }

}  // namespace winsim
