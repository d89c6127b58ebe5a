// The map under objects and ECMA arrays: an implicit run of index keys and
// sorted named entries, yielded in ascending byte order of the keys.

#include <algorithm>
#include <optional>
#include <vector>

#include "amf/amf0.h"
#include "amf/index_keys.h"

namespace amf {

using namespace detail;

amf_map::const_iterator::const_iterator(const amf_map* map, std::size_t index, std::size_t named)
    : map_(map), index_(index), named_(named) {
    settle();
}

// Works out whether the next entry in key order is the index key or the
// named one; the two never share a key.
void amf_map::const_iterator::settle() {
    at_index_ = false;
    if (index_ == kNoIndex) return;
    digit_count_ = write_index(index_, digits_, sizeof digits_);
    at_index_ = named_ >= map_->named_.size() ||
                std::string_view(digits_, digit_count_) < map_->named_[named_].key.view();
}

amf_map::const_iterator& amf_map::const_iterator::operator++() {
    if (at_index_) {
        const std::size_t next = next_in_key_order(index_, map_->indexed_.size());
        index_ = next == map_->indexed_.size() ? kNoIndex : next;
    } else {
        ++named_;
    }
    settle();
    return *this;
}

std::string_view amf_map::const_iterator::key() const {
    if (at_index_) return std::string_view(digits_, digit_count_);
    return map_->named_[named_].key.view();
}

const amf0_data_type* amf_map::const_iterator::value() const {
    if (at_index_) return map_->indexed_[index_].get();
    return map_->named_[named_].value.get();
}

amf_map::const_iterator amf_map::begin() const {
    return const_iterator(this, indexed_.empty() ? const_iterator::kNoIndex : 0, 0);
}

amf_map::const_iterator amf_map::end() const {
    return const_iterator(this, const_iterator::kNoIndex, named_.size());
}

const detail::named_entry* amf_map::lower_bound(std::string_view key) const {
    return std::lower_bound(
        named_.begin(), named_.end(), key,
        [](const detail::named_entry& e, std::string_view k) { return e.key.view() < k; });
}

detail::named_entry* amf_map::lower_bound(std::string_view key) {
    return const_cast<detail::named_entry*>(static_cast<const amf_map*>(this)->lower_bound(key));
}

amf_map::const_iterator amf_map::find(std::string_view key) const {
    const std::optional<std::size_t> index = index_of(key);
    const std::size_t named = static_cast<std::size_t>(lower_bound(key) - named_.begin());
    if (index && *index < indexed_.size()) return const_iterator(this, *index, named);
    if (named == named_.size() || named_[named].key.view() != key) return end();
    // The first index key after this named one in key order; walking is
    // fine here, as maps seldom mix the two kinds.
    std::size_t at = indexed_.empty() ? const_iterator::kNoIndex : 0;
    char digits[24];
    while (at != const_iterator::kNoIndex &&
           std::string_view(digits, write_index(at, digits, sizeof digits)) < key) {
        const std::size_t next = next_in_key_order(at, indexed_.size());
        at = next == indexed_.size() ? const_iterator::kNoIndex : next;
    }
    return const_iterator(this, at, named);
}

const amf0_data_type* amf_map::get(std::string_view key) const {
    const std::optional<std::size_t> index = index_of(key);
    if (index && *index < indexed_.size()) return indexed_[*index].get();
    const detail::named_entry* found = lower_bound(key);
    if (found == named_.end() || found->key.view() != key) return nullptr;
    return found->value.get();
}

void amf_map::set(std::string_view key, detail::value_ref value) {
    const std::optional<std::size_t> index = index_of(key);
    if (index && *index < indexed_.size()) {
        indexed_[*index] = std::move(value);
        return;
    }
    if (index && *index == indexed_.size()) {
        indexed_.push_back(std::move(value));
        absorb();
        return;
    }
    // Records are mostly built in the order of their keys.
    if (named_.empty() || named_.back().key.view() < key) {
        named_.push_back(detail::named_entry{detail::packed_key(key), std::move(value)});
        return;
    }
    detail::named_entry* at = lower_bound(key);
    if (at != named_.end() && at->key.view() == key) {
        at->value = std::move(value);
        return;
    }
    named_.insert(at, detail::named_entry{detail::packed_key(key), std::move(value)});
}

bool amf_map::insert_new(std::string_view key, detail::value_ref value) {
    if (get(key) != nullptr) return false;
    set(key, std::move(value));
    return true;
}

void amf_map::absorb() {
    char digits[24];
    while (!named_.empty()) {
        const std::string_view key(digits, write_index(indexed_.size(), digits, sizeof digits));
        detail::named_entry* at = lower_bound(key);
        if (at == named_.end() || at->key.view() != key) return;
        detail::value_ref value = std::move(at->value);
        named_.erase(at);
        indexed_.push_back(std::move(value));
    }
}

std::unique_ptr<amf0_data_type> amf_map::take(std::string_view key) {
    const std::optional<std::size_t> index = index_of(key);
    if (index && *index < indexed_.size()) {
        std::unique_ptr<amf0_data_type> out = indexed_[*index].take();
        // The run now ends before this index; the keys after it become named.
        const std::size_t count = indexed_.size();
        if (*index + 1 < count) {
            detail::compact_vector<detail::named_entry> moved;
            moved.reserve(named_.size() + (count - *index - 1));
            std::vector<detail::named_entry> tail;
            tail.reserve(count - *index - 1);
            char digits[24];
            for (std::size_t i = *index + 1; i < count; ++i) {
                tail.push_back(
                    detail::named_entry{detail::packed_key(std::string_view(
                                            digits, write_index(i, digits, sizeof digits))),
                                        std::move(indexed_[i])});
            }
            const auto less = [](const detail::named_entry& a, const detail::named_entry& b) {
                return a.key.view() < b.key.view();
            };
            std::sort(tail.begin(), tail.end(), less);
            auto a = named_.begin();
            auto b = tail.begin();
            while (a != named_.end() || b != tail.end()) {
                if (b == tail.end() || (a != named_.end() && less(*a, *b)))
                    moved.push_back(std::move(*a++));
                else
                    moved.push_back(std::move(*b++));
            }
            named_ = std::move(moved);
        }
        indexed_.truncate(*index);
        return out;
    }
    detail::named_entry* at = lower_bound(key);
    if (at == named_.end() || at->key.view() != key) return nullptr;
    std::unique_ptr<amf0_data_type> out = at->value.take();
    named_.erase(at);
    return out;
}

bool amf_map::erase(std::string_view key) {
    return take(key) != nullptr;
}

void amf_map::clear() {
    indexed_ = detail::compact_vector<detail::value_ref>();
    named_ = detail::compact_vector<detail::named_entry>();
}

void amf_map::copy_from(const amf_map& other) {
    indexed_.reserve(other.indexed_.size());
    for (const detail::value_ref& v : other.indexed_) indexed_.push_back(v.copy());
    named_.reserve(other.named_.size());
    for (const detail::named_entry& e : other.named_)
        named_.push_back(detail::named_entry{detail::packed_key(e.key.view()), e.value.copy()});
}

void release_map(amf_map& m) {
    m.clear();
}

void clone_map(const amf_map& src, amf_map& dst) {
    src.for_each([&](std::string_view key, const amf0_data_type* value) {
        dst.set(key, detail::value_ref::adopt(value->clone()));
    });
}

}  // namespace amf
