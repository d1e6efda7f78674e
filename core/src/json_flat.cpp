// Flat objects read without a tree: the usual notification, one object of
// strings, numbers, booleans and nulls, is checked, sorted and written with one
// pass over its text and no value built.

#include <functional>

#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo::json {

namespace {

bool within(std::string_view text, std::string_view part) {
  const std::less_equal<const char*> not_after;
  return not_after(text.data(), part.data()) &&
         not_after(part.data() + part.size(), text.data() + text.size());
}

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

}  // namespace

bool FlatObject::read(std::string_view text) {
  size_ = 0;
  text_size_ = text.size();
  Cursor cursor(text, Repeats::last_counts);
  if (cursor.peek() != Cursor::Next::object) return false;
  std::string_view key;
  for (std::size_t n = 0; cursor.next_member(n, key);) {
    const Cursor::Next next = cursor.peek();
    // A key with escapes was decoded elsewhere; nested values need a tree.
    if (!within(text, key) || next == Cursor::Next::object || next == Cursor::Next::array ||
        size_ == max_members)
      return false;
    const std::size_t start = cursor.at();
    // A string is plain when its text is as long as its contents (an escape
    // always stands for fewer bytes than it takes).
    std::size_t contents = 0;
    if (next == Cursor::Next::string)
      contents = cursor.string_view().size();
    else
      cursor.skip();
    std::string_view token = text.substr(start, cursor.at() - start);
    while (!token.empty() && is_space(token.back())) token.remove_suffix(1);
    const Member member{key, token, next != Cursor::Next::string || contents + 2 == token.size()};
    // Into its place by key; of a repeated key the later occurrence replaces.
    std::size_t at = size_;
    while (at > 0 && text::less(key, members_[at - 1].key)) --at;
    if (at > 0 && text::same(key, members_[at - 1].key)) {
      members_[at - 1] = member;
      continue;
    }
    for (std::size_t i = size_; i > at; --i) members_[i] = members_[i - 1];
    members_[at] = member;
    ++size_;
  }
  return cursor.at_end();  // otherwise the general reading words the error
}

std::string FlatObject::write() const {
  // Compact, the object takes at most what its text took, but for a string with
  // escapes, whose contents may be written with longer ones.
  std::size_t room = text_size_ + 2 + write_slack;
  for (std::size_t i = 0; i < size_; ++i)
    if (!members_[i].plain) room += 2 + 6 * members_[i].token.size();
  std::string out;
  out.resize_and_overwrite(room, [this](char* const begin, std::size_t) {
    char* at = begin;
    *at++ = '{';
    for (std::size_t i = 0; i < size_; ++i) {
      const Member& member = members_[i];
      if (i > 0) *at++ = ',';
      // A key without escapes holds no byte that needs one.
      *at++ = '"';
      at = text::copy(at, member.key.data(), member.key.size());
      *at++ = '"';
      *at++ = ':';
      if (member.plain) {
        at = text::copy(at, member.token.data(), member.token.size());  // as it stands
      } else {
        Cursor string(member.token);
        at = write_json(at, string.string_view());
      }
    }
    *at++ = '}';
    return static_cast<std::size_t>(at - begin);
  });
  return out;
}

std::optional<std::string_view> FlatObject::text_of(std::string_view key,
                                                   std::string& storage) const {
  for (std::size_t i = 0; i < size_; ++i) {
    if (!text::same(members_[i].key, key)) continue;
    const std::string_view token = members_[i].token;
    if (token.front() == '"') {
      if (members_[i].plain) return token.substr(1, token.size() - 2);
      Cursor string(token);
      storage.assign(string.string_view());
      return std::string_view(storage);
    }
    if (token.front() == '-' || text::is_ascii_digit(token.front())) return token;
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace quorvex_bo::json
